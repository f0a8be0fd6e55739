#include "channels/exit.h"

#include "channels/messages.h"
#include "channels/output.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <new>
#include <system_error>
#include <unistd.h>

namespace lumatap {
namespace {

std::atomic<bool> claimed{false};

[[noreturn]] void onUncaughtException() {
    // Written without allocating: memory may be what ran out.
    static char line[512];
    std::snprintf(line, sizeof line, "%s", unknownErrorLine.data());
    if (auto exception = std::current_exception()) {
        try {
            std::rethrow_exception(exception);
        } catch (const std::bad_alloc&) {
            std::snprintf(line, sizeof line, "%s", noMemoryLine.data());
        } catch (const std::system_error& e) {
            // What the standard library throws when a thread cannot be started.
            std::snprintf(line, sizeof line, "%s%s", noResourcesPrefix.data(), e.what());
        } catch (const std::exception& e) {
            std::snprintf(line, sizeof line, "%s%s", errorPrefix.data(), e.what());
        } catch (...) {
        }
    }
    exitProcess(statusFailure, line);
}

} // namespace

bool exiting() {
    return claimed.load(std::memory_order_acquire);
}

void exitProcess(int status, std::string_view message) {
    if (claimed.exchange(true, std::memory_order_acq_rel)) {
        for (;;) {
            pause();
        }
    }
    if (!message.empty()) {
        writeLine(message);
    }
    _exit(status);
}

void exitNow(int status) {
    claimed.store(true, std::memory_order_release);
    _exit(status);
}

void guardProcess() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor is this one, so the open lands in its place.
            int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != fd) {
                close(opened);
            }
        }
    }
    std::set_terminate(onUncaughtException);
}

} // namespace lumatap
