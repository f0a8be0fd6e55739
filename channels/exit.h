#pragma once

#include <string_view>

namespace lumatap {

// The one way the process ends. Several threads may get here at once (the parent watch, the
// command, platform callbacks); the first caller wins: its message line, if any, is written
// and the process ends with its status. Later callers never return and write nothing.
// Static destructors do not run, since other threads may still be using what they would
// tear down.
[[noreturn]] void exitProcess(int status, std::string_view message = {});

// Ends the process with `status` at once, without a line, whoever holds the claim: for the
// parent watch, since nothing more is owed to a reader whose parent has gone, not even the
// rest of a line that another thread is stuck writing.
[[noreturn]] void exitNow(int status);

// True once some thread has started to end the process.
bool exiting();

// Marks a piece of payload (a video frame, a block of sound) as being written, so that an exit
// meanwhile waits for it to be whole: a reader must never get a part of a frame and take it
// for a frame. The wait is bounded (a second), since a reader that no longer reads would hold
// the process for good. False, and nothing is to be written, once the process is ending.
bool beginPiece();
void endPiece();

// Holds descriptors 0, 1 and 2 (on /dev/null where one is closed), so that no connection the
// program opens later can take their place and receive its lines; and makes an exception
// that nobody catches (memory or threads running out, anywhere) end the process with an
// error line and status 1 instead of an abort. Called first thing at start.
void guardProcess();

} // namespace lumatap
