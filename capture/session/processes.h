// The processes of this user that the system shows, standing in for the running
// applications: on Linux a program that plays sound need own no window.
#pragma once

#include "capture/platform.h"

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace lumatap::session {

struct SessionProcess {
    ProcessID pid = 0;
    std::string name; // the short name the kernel keeps
};

// The process id that `text` gives in decimal, as /proc names them and sound servers write
// them; none for no text, anything else in it, or a number that names no process.
std::optional<ProcessID> processID(const char* text);

// The short name the kernel keeps for process `pid`, empty when it has ended.
std::string processName(ProcessID pid);

// The parent of process `pid` as the kernel keeps it now (a process whose parent has ended
// has been handed to another), none when it has ended or has no parent (pid 1, the kernel's
// own).
std::optional<ProcessID> parentProcess(ProcessID pid);

// Whether process `pid` is one of `ancestors` or descends from one of them, as the process
// tree shows it now: a program started detached has another parent by then.
bool descendsFrom(ProcessID pid, const std::set<ProcessID>& ancestors);

// Every process with our real user id, kernel threads left out, in no particular order.
// Processes that end while the list is read are left out.
std::vector<SessionProcess> sessionProcesses();

// Gathers a snapshot's applications: each window owner once, then every session process that
// owns no window (a host that only plays sound, or plays only later, must still be found to
// be left out; asking the sound server instead would let a hung one hold up a picture).
class Applications {
  public:
    explicit Applications(ShareableContent& content) : content_(content) {}
    // Records the owner of a window of process `pid` (none for an unknown process).
    void owner(std::optional<ProcessID> pid,
               const std::shared_ptr<const RunningApplication>& application);
    // Adds the session's processes that own no window, once every window has been seen.
    void addSessionProcesses();

  private:
    ShareableContent& content_;
    std::map<ProcessID, std::shared_ptr<const RunningApplication>> owners_;
};

} // namespace lumatap::session
