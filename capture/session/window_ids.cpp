#include "capture/session/window_ids.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace lumatap::session {
namespace {

constexpr std::string_view header = "lumatap window ids 1";
// The protocol allows 32 bytes; a little room for compositors that exceed it, no more.
constexpr std::size_t longestIdentifier = 256;

ErrorPtr fileError(const std::string& what, const std::string& path) {
    return makeError("wayland", errno,
                     what + " " + path + ": " + std::strerror(errno ? errno : EIO));
}

bool storable(const std::string& identifier) {
    if (identifier.empty() || identifier.size() > longestIdentifier) {
        return false;
    }
    for (unsigned char c : identifier) {
        if (c <= ' ' || c == 0x7f) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string WindowIds::pathFor(const std::string& runtimeDir, const std::string& display) {
    std::string name;
    for (char c : display) {
        name += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_';
    }
    return runtimeDir + "/lumatap-window-ids-" + name;
}

std::optional<std::string> WindowIds::runtimeDir(std::string& problem) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) {
        problem = "XDG_RUNTIME_DIR is not set, so window numbers cannot be kept";
        return std::nullopt;
    }
    return std::string(runtime);
}

WindowIds::WindowIds(std::string path, int lockFd) : path_(std::move(path)), lockFd_(lockFd) {
}

WindowIds::~WindowIds() {
    if (lockFd_ >= 0) {
        ::close(lockFd_); // closing drops the flock
    }
}

std::unique_ptr<WindowIds> WindowIds::lock(const std::string& path, ErrorPtr& error) {
    // The lock is a file of its own: the map is replaced by renaming, which would leave a
    // lock on the old file behind.
    std::string lockPath = path + ".lock";
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = fileError("cannot open", lockPath);
        return nullptr;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            error = fileError("cannot lock", lockPath);
            ::close(fd);
            return nullptr;
        }
    }
    std::unique_ptr<WindowIds> ids(new WindowIds(path, fd));

    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line) || line != header) {
        return ids; // no map yet, or not one of ours: start afresh
    }
    WindowID highest = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string first;
        fields >> first;
        unsigned long long number = 0;
        if (first == "next") {
            if (fields >> number && number > 0 && number <= std::numeric_limits<WindowID>::max()) {
                ids->next_ = std::max<WindowID>(ids->next_, static_cast<WindowID>(number));
            }
            continue;
        }
        std::string identifier;
        char* end = nullptr;
        number = std::strtoull(first.c_str(), &end, 10);
        if (first.empty() || *end != '\0' || number == 0 ||
            number > std::numeric_limits<WindowID>::max() || !(fields >> identifier) ||
            !storable(identifier)) {
            continue;
        }
        auto id = static_cast<WindowID>(number);
        ids->known_[identifier] = id;
        highest = std::max(highest, id);
    }
    // A map whose counter was lost still never hands out a number it holds.
    if (highest >= ids->next_) {
        ids->next_ = highest == std::numeric_limits<WindowID>::max() ? highest : highest + 1;
    }
    return ids;
}

std::optional<WindowID> WindowIds::find(const std::string& identifier) const {
    auto it = known_.find(identifier);
    if (it == known_.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool WindowIds::assign(const std::vector<std::string>& live,
                       std::map<std::string, WindowID>& numbers, ErrorPtr& error) {
    std::map<std::string, WindowID> kept;
    for (const std::string& identifier : live) {
        if (!storable(identifier) || kept.count(identifier)) {
            continue;
        }
        auto it = known_.find(identifier);
        if (it != known_.end()) {
            kept[identifier] = it->second;
            continue;
        }
        if (next_ == std::numeric_limits<WindowID>::max()) {
            error = makeError("wayland", ERANGE, "window numbers are used up; remove " + path_);
            return false;
        }
        kept[identifier] = next_++;
    }

    std::string temporary = path_ + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << header << "\nnext " << next_ << "\n";
        for (const auto& [identifier, id] : kept) {
            out << id << " " << identifier << "\n";
        }
        out.flush();
        if (!out) {
            error = fileError("cannot write", temporary);
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path_.c_str()) != 0) {
        error = fileError("cannot replace", path_);
        std::remove(temporary.c_str());
        return false;
    }
    known_ = kept;
    numbers = std::move(kept);
    return true;
}

} // namespace lumatap::session
