#include "channels/exit.h"

#include "channels/messages.h"
#include "channels/output.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <new>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace lumatap {
namespace {

std::atomic<bool> claimed{false};

// Bit 0: the process is ending, no piece may start. Above it: the count of pieces under way.
std::atomic<unsigned> pieces{0};
constexpr unsigned ending = 1;
constexpr unsigned onePiece = 2;

// Lets a piece under way finish before the process ends, for a second at most.
void awaitPieces() {
    unsigned state = pieces.fetch_or(ending, std::memory_order_acq_rel);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (state >= onePiece && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        state = pieces.load(std::memory_order_acquire);
    }
}

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

bool beginPiece() {
    unsigned state = pieces.load(std::memory_order_acquire);
    do {
        if (state & ending) {
            return false;
        }
    } while (!pieces.compare_exchange_weak(state, state + onePiece, std::memory_order_acq_rel));
    return true;
}

void endPiece() {
    pieces.fetch_sub(onePiece, std::memory_order_acq_rel);
}

void exitProcess(int status, std::string_view message) {
    if (claimed.exchange(true, std::memory_order_acq_rel)) {
        for (;;) {
            pause();
        }
    }
    awaitPieces();
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
