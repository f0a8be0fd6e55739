#include "capture/x11/processes.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <unistd.h>

namespace lumatap::x11 {
namespace {

// The kernel's flag for its own threads (PF_KTHREAD), which no program of the user is.
constexpr unsigned long kernelThread = 0x00200000;

std::optional<ProcessID> pidNamed(const char* name) {
    char* end = nullptr;
    long pid = std::strtol(name, &end, 10);
    if (end == name || *end != '\0' || pid <= 0) {
        return std::nullopt;
    }
    return static_cast<ProcessID>(pid);
}

std::optional<uid_t> realUser(const std::string& dir) {
    std::ifstream status(dir + "/status");
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

bool isKernelThread(const std::string& dir) {
    std::ifstream file(dir + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold spaces and parentheses itself; the fields after the
    // last ')' are plain: state, ppid, pgrp, session, tty, tpgid, flags.
    auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return true;
    }
    std::istringstream fields(stat.substr(close + 1));
    std::string skip;
    unsigned long flags = 0;
    for (int i = 0; i < 6; ++i) {
        fields >> skip;
    }
    if (!(fields >> flags)) {
        return true;
    }
    return (flags & kernelThread) != 0;
}

} // namespace

std::vector<SessionProcess> sessionProcesses() {
    std::vector<SessionProcess> found;
    DIR* proc = opendir("/proc");
    if (!proc) {
        return found;
    }
    uid_t user = getuid();
    while (dirent* entry = readdir(proc)) {
        auto pid = pidNamed(entry->d_name);
        if (!pid) {
            continue;
        }
        std::string dir = std::string("/proc/") + entry->d_name;
        if (realUser(dir) != user || isKernelThread(dir)) {
            continue;
        }
        std::ifstream comm(dir + "/comm");
        std::string name;
        if (!std::getline(comm, name)) {
            continue; // ended meanwhile
        }
        found.push_back({*pid, std::move(name)});
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

} // namespace lumatap::x11
