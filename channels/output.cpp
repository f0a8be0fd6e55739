#include "channels/output.h"

#include "channels/exit.h"
#include "channels/messages.h"

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/uio.h>
#include <unistd.h>

namespace lumatap {
namespace {

bool writeFully(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

void writeLine(std::string_view message) {
    // One request for the text and its line feed, so that a line is never split by another
    // thread's line; and no allocation, since a line may have to say that memory ran out.
    // A short line goes out from one buffer: when another thread ends the process meanwhile,
    // a file (unlike a pipe) may take only the first part of a request in several pieces,
    // and the line would end without its line feed.
    char joined[1024];
    if (message.size() < sizeof joined) {
        std::memcpy(joined, message.data(), message.size());
        joined[message.size()] = '\n';
        writeFully(STDERR_FILENO, joined, message.size() + 1);
        return;
    }
    iovec parts[2] = {{const_cast<char*>(message.data()), message.size()},
                      {const_cast<char*>("\n"), 1}};
    std::size_t left = message.size() + 1;
    iovec* part = parts;
    int count = 2;
    while (left > 0) {
        ssize_t n = ::writev(STDERR_FILENO, part, count);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Standard error has nowhere to report its own failure; a lost message is dropped.
            return;
        }
        left -= static_cast<std::size_t>(n);
        auto done = static_cast<std::size_t>(n);
        while (count > 0 && done >= part->iov_len) {
            done -= part->iov_len;
            ++part;
            --count;
        }
        if (count > 0) {
            part->iov_base = static_cast<char*>(part->iov_base) + done;
            part->iov_len -= done;
        }
    }
}

void say(std::string_view message) {
    // Once the process is ending, the winner's line is the last thing written.
    if (exiting()) {
        return;
    }
    writeLine(message);
}

void fail(std::string_view message, int status) {
    exitProcess(status, message);
}

bool writeAll(const void* data, std::size_t size) {
    Part whole{data, size};
    return writeAll(&whole, 1);
}

bool writeAll(const Part* parts, std::size_t count) {
    if (!beginPiece()) {
        return false;
    }
    bool written = true;
    for (std::size_t i = 0; i < count && written; ++i) {
        written = writeFully(STDOUT_FILENO, static_cast<const char*>(parts[i].data), parts[i].size);
    }
    endPiece();
    return written;
}

void printJSON(const nlohmann::json& value) {
    // Window titles come from other programs and need not be valid UTF-8; replace what is
    // not rather than lose the whole document.
    std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    (void)writeAll(text.data(), text.size());
}

} // namespace lumatap
