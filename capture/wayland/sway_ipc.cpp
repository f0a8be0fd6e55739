#include "capture/wayland/sway_ipc.h"

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace lumatap::wayland {
namespace {

constexpr std::string_view magic = "i3-ipc";
constexpr std::uint32_t getTree = 4;
// sway answers at once; one that does not is not worth holding a listing for.
constexpr int answerMilliseconds = 1000;
// No tree of a real desktop comes near this.
constexpr std::uint32_t largestReply = 64u << 20;

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool receiveAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, answerMilliseconds);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        ssize_t n = recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void collect(const nlohmann::json& node, std::map<std::string, SwayWindow>& found) {
    if (!node.is_object()) {
        return;
    }
    auto identifier = node.find("foreign_toplevel_identifier");
    if (identifier != node.end() && identifier->is_string()) {
        SwayWindow window;
        auto pid = node.find("pid");
        if (pid != node.end() && pid->is_number_integer()) {
            auto value = pid->get<std::int64_t>();
            if (value > 0 && value <= INT32_MAX) {
                window.pid = static_cast<std::int32_t>(value);
            }
        }
        auto properties = node.find("window_properties");
        if (properties != node.end() && properties->is_object()) {
            auto windowClass = properties->find("class");
            if (windowClass != properties->end() && windowClass->is_string()) {
                window.windowClass = windowClass->get<std::string>();
            }
        }
        found[identifier->get<std::string>()] = std::move(window);
    }
    for (const char* key : {"nodes", "floating_nodes"}) {
        auto children = node.find(key);
        if (children != node.end() && children->is_array()) {
            for (const auto& child : *children) {
                collect(child, found);
            }
        }
    }
}

} // namespace

std::map<std::string, SwayWindow> windowsInTree(std::string_view json) {
    std::map<std::string, SwayWindow> found;
    auto tree = nlohmann::json::parse(json, nullptr, false);
    if (!tree.is_discarded()) {
        collect(tree, found);
    }
    return found;
}

std::optional<std::map<std::string, SwayWindow>> swayWindows(const std::string& socketPath) {
    sockaddr_un address{};
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
        return std::nullopt;
    }
    Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    if (socket.get() < 0 ||
        connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return std::nullopt;
    }
    char header[14];
    std::uint32_t length = 0;
    std::memcpy(header, magic.data(), magic.size());
    std::memcpy(header + 6, &length, 4);
    std::memcpy(header + 10, &getTree, 4);
    if (!sendAll(socket.get(), header, sizeof header) ||
        !receiveAll(socket.get(), header, sizeof header) ||
        std::string_view(header, magic.size()) != magic) {
        return std::nullopt;
    }
    std::uint32_t type = 0;
    std::memcpy(&length, header + 6, 4);
    std::memcpy(&type, header + 10, 4);
    if (type != getTree || length > largestReply) {
        return std::nullopt;
    }
    std::vector<char> reply(length);
    if (!receiveAll(socket.get(), reply.data(), reply.size())) {
        return std::nullopt;
    }
    return windowsInTree(std::string_view(reply.data(), reply.size()));
}

} // namespace lumatap::wayland
