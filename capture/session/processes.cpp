#include "capture/session/processes.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sstream>
#include <unistd.h>

namespace lumatap::session {

std::optional<ProcessID> processID(const char* text) {
    if (!text) {
        return std::nullopt;
    }
    char* end = nullptr;
    long pid = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || pid <= 0) {
        return std::nullopt;
    }
    return static_cast<ProcessID>(pid);
}

namespace {

// The kernel's flag for its own threads (PF_KTHREAD), which no program of the user is.
constexpr unsigned long kernelThread = 0x00200000;

// The whole text of a small file under /proc, or nothing. A process may end between opening
// its file and reading it, and the read then fails with ESRCH: that is an ordinary answer
// here, not an error (the standard streams would throw it out of an iterator).
std::optional<std::string> procText(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got > 0) {
            text.append(chunk, static_cast<size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            close(fd);
            return std::nullopt;
        }
    }
    close(fd);
    return text;
}

std::optional<uid_t> realUser(const std::string& dir) {
    auto text = procText(dir + "/status");
    if (!text) {
        return std::nullopt;
    }
    std::istringstream status(*text);
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) == 0) {
            std::istringstream fields(line.substr(4));
            unsigned long uid = 0;
            if (fields >> uid) {
                return static_cast<uid_t>(uid);
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// The fields of /proc/PID/stat after the process's name: state, ppid, pgrp, session, tty,
// tpgid, flags, ... The name in parentheses may hold spaces and parentheses itself, so they
// start after the last ')'.
std::optional<std::istringstream> statFields(const std::string& dir) {
    auto stat = procText(dir + "/stat");
    if (!stat) {
        return std::nullopt;
    }
    auto close = stat->rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    return std::istringstream(stat->substr(close + 1));
}

bool isKernelThread(const std::string& dir) {
    auto fields = statFields(dir);
    if (!fields) {
        return true;
    }
    std::string skip;
    unsigned long flags = 0;
    for (int i = 0; i < 6; ++i) {
        *fields >> skip;
    }
    if (!(*fields >> flags)) {
        return true;
    }
    return (flags & kernelThread) != 0;
}

// The kernel's short name of the process, without its line feed.
std::optional<std::string> shortName(const std::string& dir) {
    auto comm = procText(dir + "/comm");
    if (!comm || comm->empty()) {
        return std::nullopt;
    }
    if (comm->back() == '\n') {
        comm->pop_back();
    }
    return comm;
}

} // namespace

std::string processName(ProcessID pid) {
    return shortName("/proc/" + std::to_string(pid)).value_or("");
}

std::optional<ProcessID> parentProcess(ProcessID pid) {
    auto fields = statFields("/proc/" + std::to_string(pid));
    if (!fields) {
        return std::nullopt;
    }
    std::string state;
    long parent = 0;
    if (!(*fields >> state >> parent) || parent <= 0) {
        return std::nullopt;
    }
    return static_cast<ProcessID>(parent);
}

bool descendsFrom(ProcessID pid, const std::set<ProcessID>& ancestors) {
    // Trees are far shallower; the bound ends a walk that process ids reused while it reads
    // would otherwise send in a circle.
    constexpr int ancestryLimit = 64;
    std::optional<ProcessID> ancestor = pid;
    for (int step = 0; ancestor && step < ancestryLimit; ++step) {
        if (ancestors.count(*ancestor)) {
            return true;
        }
        ancestor = parentProcess(*ancestor);
    }
    return false;
}

std::vector<SessionProcess> sessionProcesses() {
    std::vector<SessionProcess> found;
    DIR* proc = opendir("/proc");
    if (!proc) {
        return found;
    }
    uid_t user = getuid();
    while (dirent* entry = readdir(proc)) {
        auto pid = processID(entry->d_name);
        if (!pid) {
            continue;
        }
        std::string dir = std::string("/proc/") + entry->d_name;
        if (realUser(dir) != user || isKernelThread(dir)) {
            continue;
        }
        auto name = shortName(dir);
        if (!name) {
            continue; // ended meanwhile
        }
        found.push_back({*pid, std::move(*name)});
    }
    closedir(proc);
    return found;
}

void Applications::owner(std::optional<ProcessID> pid,
                         const std::shared_ptr<const RunningApplication>& application) {
    if (!pid) {
        return;
    }
    auto& known = owners_[*pid];
    if (!known) {
        known = application;
        content_.applications.push_back(known);
    }
}

void Applications::addSessionProcesses() {
    for (auto& process : sessionProcesses()) {
        auto& known = owners_[process.pid];
        if (!known) {
            known = std::make_shared<const RunningApplication>(
                RunningApplication{process.pid, std::move(process.name)});
            content_.applications.push_back(known);
        }
    }
}

} // namespace lumatap::session
