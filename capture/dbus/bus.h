// A connection to the session's D-Bus, for the desktops whose capture services are D-Bus
// interfaces (GNOME's ScreenCast, KDE's KWin). Through sd-bus: plain C, in every Debian, and
// with no C++ types across the library's boundary, so no ABI of a C++ binding to follow.
//
// Replies and signals are read whole into values, a variant's content in place of the variant,
// so that callers walk what the desktop answered without the wire's type letters. A
// connection serves one thread at a time: its holder keeps it to one thread or locks it.
#pragma once

#include "capture/platform.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

typedef struct sd_bus sd_bus;
typedef struct sd_bus_message sd_bus_message;
typedef struct sd_bus_slot sd_bus_slot;

namespace lumatap::dbus {

using Clock = std::chrono::steady_clock;

// The domain of the connection's own failures; a desktop's refusal keeps the D-Bus error name
// it came with as its domain ("org.freedesktop.DBus.Error.ServiceUnknown").
inline constexpr std::string_view errorDomain = "dbus";
enum ErrorCode : std::int64_t {
    noBus = 1,          // DBUS_SESSION_BUS_ADDRESS names nothing that answers
    connectionLost = 2, // the bus went away
    timedOut = 3,       // the call had no answer in time
    badMessage = 4,     // a message could not be built or read
};

struct Value;
using Values = std::vector<Value>;
// A dictionary in the order it came, keys not necessarily unique.
using Dict = std::vector<std::pair<Value, Value>>;

// One value of a message: booleans, integers of every width as 64 bits (signed ones as
// std::int64_t, unsigned ones as std::uint64_t), doubles, strings (object paths and
// signatures too), a structure's or an array's members in order, or a dictionary.
struct Value {
    std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, Values,
                 Dict>
        data;

    // The integer, of either signedness, when it fits; none for anything else.
    std::optional<std::int64_t> integer() const;
    std::optional<double> number() const; // an integer or a double
    std::optional<bool> flag() const;
    const std::string* text() const;
    const Values* items() const;
    const Dict* dict() const;
    // The value under the string key `key` of a dictionary; none when absent or not one.
    const Value* operator[](std::string_view key) const;
};

class Bus {
  public:
    // The session bus that DBUS_SESSION_BUS_ADDRESS names (or the user's default one); none,
    // with `error`, when none answers.
    static std::unique_ptr<Bus> session(ErrorPtr& error);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Appends a call's arguments with sd_bus_message_append and the like; a negative errno
    // when it cannot.
    using Append = std::function<int(sd_bus_message*)>;

    // Calls `member` and waits up to `timeout` for its reply; the reply's arguments, or none
    // with `error`: the desktop's refusal in its D-Bus error's name, or this layer's own.
    std::optional<Values> call(const std::string& destination, const std::string& path,
                               const std::string& interface, const std::string& member,
                               const Append& append, std::chrono::milliseconds timeout,
                               ErrorPtr& error);
    // Whether `name` has an owner on the bus; none, with `error`, when the bus cannot say.
    std::optional<bool> hasOwner(const std::string& name, std::chrono::milliseconds timeout,
                                 ErrorPtr& error);

    // Calls `handler` with a signal's arguments for as long as the subscription is held; empty
    // strings match anything. Handlers run inside process() alone; signals that come during
    // a call wait there.
    class Subscription {
      public:
        ~Subscription();
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;

      private:
        friend class Bus;
        Subscription() = default;
        sd_bus_slot* slot_ = nullptr;
        std::function<void(const Values&)> handler_;
    };
    std::unique_ptr<Subscription> subscribe(const std::string& sender, const std::string& path,
                                            const std::string& interface, const std::string& member,
                                            std::function<void(const Values&)> handler,
                                            ErrorPtr& error);

    // Handles what has arrived, then waits for more until `done` holds or `deadline` comes.
    // False, with `error`, when the connection broke; true otherwise (`done` may still be
    // false at the deadline).
    bool process(const std::function<bool()>& done, Clock::time_point deadline, ErrorPtr& error);

    // A descriptor that becomes readable when there is something to process.
    int fd() const;

  private:
    explicit Bus(sd_bus* bus) : bus_(bus) {}
    ErrorPtr lost() const;

    sd_bus* bus_ = nullptr;
};

// The arguments of `message` from its current place to its end.
bool readAll(sd_bus_message* message, Values& values);

} // namespace lumatap::dbus
