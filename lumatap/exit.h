#pragma once

#include <string_view>

namespace lumatap {

// The one way the process ends. Several threads may get here at once (the parent watch, the
// command, platform callbacks); the first caller wins: its message line, if any, is written
// and the process ends with its status. Later callers never return and write nothing.
// Static destructors do not run, since other threads may still be using what they would
// tear down.
[[noreturn]] void exitProcess(int status, std::string_view message = {});

// True once some thread has started to end the process.
bool exiting();

} // namespace lumatap
