#include "capture/dbus/bus.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <systemd/sd-bus.h>

namespace lumatap::dbus {
namespace {

ErrorPtr own(ErrorCode code, std::string description) {
    return makeError(std::string(errorDomain), code, std::move(description));
}

std::uint64_t microseconds(std::chrono::steady_clock::duration d) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    return us > 0 ? static_cast<std::uint64_t>(us) : 0;
}

bool readValue(sd_bus_message* m, char type, const char* contents, Value& value);

// The members of the container just entered, up to its end.
bool readMembers(sd_bus_message* m, Values& values) {
    for (;;) {
        char type = 0;
        const char* contents = nullptr;
        int r = sd_bus_message_peek_type(m, &type, &contents);
        if (r < 0) {
            return false;
        }
        if (r == 0) {
            return true;
        }
        Value value;
        if (!readValue(m, type, contents, value)) {
            return false;
        }
        values.push_back(std::move(value));
    }
}

template <typename T> bool readBasic(sd_bus_message* m, char type, T& into) {
    return sd_bus_message_read_basic(m, type, &into) > 0;
}

bool readValue(sd_bus_message* m, char type, const char* contents, Value& value) {
    switch (type) {
    case SD_BUS_TYPE_BOOLEAN: {
        int b = 0;
        if (!readBasic(m, type, b)) {
            return false;
        }
        value.data = b != 0;
        return true;
    }
    case SD_BUS_TYPE_BYTE: {
        std::uint8_t u = 0;
        if (!readBasic(m, type, u)) {
            return false;
        }
        value.data = std::uint64_t{u};
        return true;
    }
    case SD_BUS_TYPE_UINT16: {
        std::uint16_t u = 0;
        if (!readBasic(m, type, u)) {
            return false;
        }
        value.data = std::uint64_t{u};
        return true;
    }
    case SD_BUS_TYPE_UINT32: {
        std::uint32_t u = 0;
        if (!readBasic(m, type, u)) {
            return false;
        }
        value.data = std::uint64_t{u};
        return true;
    }
    case SD_BUS_TYPE_UINT64: {
        std::uint64_t u = 0;
        if (!readBasic(m, type, u)) {
            return false;
        }
        value.data = u;
        return true;
    }
    case SD_BUS_TYPE_INT16: {
        std::int16_t i = 0;
        if (!readBasic(m, type, i)) {
            return false;
        }
        value.data = std::int64_t{i};
        return true;
    }
    case SD_BUS_TYPE_INT32:
    case SD_BUS_TYPE_UNIX_FD: {
        std::int32_t i = 0;
        if (!readBasic(m, type, i)) {
            return false;
        }
        value.data = std::int64_t{i};
        return true;
    }
    case SD_BUS_TYPE_INT64: {
        std::int64_t i = 0;
        if (!readBasic(m, type, i)) {
            return false;
        }
        value.data = i;
        return true;
    }
    case SD_BUS_TYPE_DOUBLE: {
        double d = 0;
        if (!readBasic(m, type, d)) {
            return false;
        }
        value.data = d;
        return true;
    }
    case SD_BUS_TYPE_STRING:
    case SD_BUS_TYPE_OBJECT_PATH:
    case SD_BUS_TYPE_SIGNATURE: {
        const char* s = nullptr;
        if (!readBasic(m, type, s)) {
            return false;
        }
        value.data = std::string(s ? s : "");
        return true;
    }
    case SD_BUS_TYPE_VARIANT: {
        // The content stands in for its variant.
        if (sd_bus_message_enter_container(m, type, contents) <= 0) {
            return false;
        }
        char inner = 0;
        const char* innerContents = nullptr;
        if (sd_bus_message_peek_type(m, &inner, &innerContents) <= 0 ||
            !readValue(m, inner, innerContents, value)) {
            return false;
        }
        return sd_bus_message_exit_container(m) >= 0;
    }
    case SD_BUS_TYPE_ARRAY:
        if (contents && contents[0] == SD_BUS_TYPE_DICT_ENTRY_BEGIN) {
            if (sd_bus_message_enter_container(m, type, contents) <= 0) {
                return false;
            }
            Dict dict;
            std::string entry(contents + 1, std::strlen(contents) - 2);
            for (;;) {
                int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, entry.c_str());
                if (r < 0) {
                    return false;
                }
                if (r == 0) {
                    break;
                }
                Values pair;
                if (!readMembers(m, pair) || pair.size() != 2 ||
                    sd_bus_message_exit_container(m) < 0) {
                    return false;
                }
                dict.emplace_back(std::move(pair[0]), std::move(pair[1]));
            }
            value.data = std::move(dict);
            return sd_bus_message_exit_container(m) >= 0;
        }
        [[fallthrough]];
    case SD_BUS_TYPE_STRUCT: {
        if (sd_bus_message_enter_container(m, type, contents) <= 0) {
            return false;
        }
        Values items;
        if (!readMembers(m, items)) {
            return false;
        }
        value.data = std::move(items);
        return sd_bus_message_exit_container(m) >= 0;
    }
    default:
        return false;
    }
}

int onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* handler = static_cast<std::function<void(const Values&)>*>(userdata);
    Values values;
    if (readAll(message, values)) {
        (*handler)(values);
    }
    return 0;
}

} // namespace

std::optional<std::int64_t> Value::integer() const {
    if (const auto* i = std::get_if<std::int64_t>(&data)) {
        return *i;
    }
    if (const auto* u = std::get_if<std::uint64_t>(&data);
        u && *u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<std::int64_t>(*u);
    }
    return std::nullopt;
}

std::optional<double> Value::number() const {
    if (const auto* d = std::get_if<double>(&data)) {
        return *d;
    }
    if (const auto* u = std::get_if<std::uint64_t>(&data)) {
        return static_cast<double>(*u);
    }
    if (auto i = integer()) {
        return static_cast<double>(*i);
    }
    return std::nullopt;
}

std::optional<bool> Value::flag() const {
    if (const auto* b = std::get_if<bool>(&data)) {
        return *b;
    }
    return std::nullopt;
}

const std::string* Value::text() const {
    return std::get_if<std::string>(&data);
}

const Values* Value::items() const {
    return std::get_if<Values>(&data);
}

const Dict* Value::dict() const {
    return std::get_if<Dict>(&data);
}

const Value* Value::operator[](std::string_view key) const {
    if (const Dict* d = dict()) {
        for (const auto& [k, v] : *d) {
            if (const std::string* name = k.text(); name && *name == key) {
                return &v;
            }
        }
    }
    return nullptr;
}

bool readAll(sd_bus_message* message, Values& values) {
    return readMembers(message, values);
}

std::unique_ptr<Bus> Bus::session(ErrorPtr& error) {
    sd_bus* bus = nullptr;
    int r = sd_bus_open_user(&bus);
    if (r < 0) {
        error = own(noBus, std::string("cannot connect to the session bus: ") + std::strerror(-r));
        return nullptr;
    }
    return std::unique_ptr<Bus>(new Bus(bus));
}

Bus::~Bus() {
    // Whatever calls are queued go out before the connection closes: a ScreenCast session's
    // Stop, say.
    sd_bus_flush_close_unref(bus_);
}

ErrorPtr Bus::lost() const {
    return own(connectionLost, "the session bus connection was lost");
}

std::optional<Values> Bus::call(const std::string& destination, const std::string& path,
                                const std::string& interface, const std::string& member,
                                const Append& append, std::chrono::milliseconds timeout,
                                ErrorPtr& error) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &m, destination.c_str(), path.c_str(),
                                           interface.c_str(), member.c_str());
    if (r < 0 || (append && append(m) < 0)) {
        sd_bus_message_unref(m);
        error = r == -ENOTCONN || r == -ECONNRESET
                    ? lost()
                    : own(badMessage, "cannot make the D-Bus call " + interface + "." + member);
        return std::nullopt;
    }
    sd_bus_error failure = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(bus_, m, microseconds(timeout), &failure, &reply);
    sd_bus_message_unref(m);
    std::optional<Values> values;
    if (r >= 0) {
        values.emplace();
        if (!readAll(reply, *values)) {
            values.reset();
            error = own(badMessage, "cannot read the answer to " + interface + "." + member);
        }
    } else if (r == -ETIMEDOUT || sd_bus_error_has_name(&failure, SD_BUS_ERROR_NO_REPLY)) {
        error = own(timedOut, destination + " did not answer " + member + " in time");
    } else if (sd_bus_error_is_set(&failure) &&
               !sd_bus_error_has_name(&failure, SD_BUS_ERROR_DISCONNECTED)) {
        error = makeError(failure.name, -r, failure.message ? failure.message : failure.name);
    } else if (r == -ENOTCONN || r == -ECONNRESET || r == -EPIPE ||
               sd_bus_error_has_name(&failure, SD_BUS_ERROR_DISCONNECTED)) {
        error = lost();
    } else {
        error = own(badMessage, interface + "." + member + " failed: " + std::strerror(-r));
    }
    sd_bus_error_free(&failure);
    sd_bus_message_unref(reply);
    return values;
}

std::optional<bool> Bus::hasOwner(const std::string& name, std::chrono::milliseconds timeout,
                                  ErrorPtr& error) {
    auto answer = call(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", name.c_str()); }, timeout,
        error);
    if (!answer) {
        return std::nullopt;
    }
    if (answer->empty() || !answer->front().flag()) {
        error = own(badMessage, "the bus answered NameHasOwner with no boolean");
        return std::nullopt;
    }
    return *answer->front().flag();
}

Bus::Subscription::~Subscription() {
    sd_bus_slot_unref(slot_);
}

std::unique_ptr<Bus::Subscription>
Bus::subscribe(const std::string& sender, const std::string& path, const std::string& interface,
               const std::string& member, std::function<void(const Values&)> handler,
               ErrorPtr& error) {
    std::unique_ptr<Subscription> s(new Subscription);
    s->handler_ = std::move(handler);
    auto orNull = [](const std::string& text) { return text.empty() ? nullptr : text.c_str(); };
    int r = sd_bus_match_signal(bus_, &s->slot_, orNull(sender), orNull(path), orNull(interface),
                                orNull(member), onSignal, &s->handler_);
    if (r < 0) {
        error = r == -ENOTCONN || r == -ECONNRESET
                    ? lost()
                    : own(badMessage, "cannot listen for " + interface + "." + member + ": " +
                                          std::strerror(-r));
        return nullptr;
    }
    return s;
}

bool Bus::process(const std::function<bool()>& done, Clock::time_point deadline, ErrorPtr& error) {
    for (;;) {
        if (done && done()) {
            return true;
        }
        int r = sd_bus_process(bus_, nullptr);
        if (r < 0) {
            error = lost();
            return false;
        }
        if (r > 0) {
            continue;
        }
        auto now = Clock::now();
        if ((done && done()) || now >= deadline) {
            return true;
        }
        r = sd_bus_wait(bus_, microseconds(deadline - now));
        if (r < 0 && r != -EINTR) {
            error = lost();
            return false;
        }
    }
}

int Bus::fd() const {
    return sd_bus_get_fd(bus_);
}

} // namespace lumatap::dbus
