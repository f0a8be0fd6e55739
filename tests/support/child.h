// Runs a piece of the program in a forked child, the way the tool runs it: the child ends
// through the process exit path, and the test reads its status and both output channels.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace lumatap::test {

struct ChildResult {
    bool exited = false;   // ended by exit with `status`
    bool timedOut = false; // still running at the deadline, then killed
    int status = -1;
    int signal = 0;
    std::string out;
    std::string err;
};

// Forks; the child sends standard output and error into files of its own, runs `body`
// (which is expected never to return) and is killed once `timeout` has passed.
ChildResult runInChild(const std::function<void()>& body,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

} // namespace lumatap::test
