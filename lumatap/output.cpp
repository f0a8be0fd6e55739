#include "lumatap/output.h"

#include "lumatap/exit.h"
#include "lumatap/messages.h"

#include <cerrno>
#include <nlohmann/json.hpp>
#include <string>
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
    // Joined before writing so that a line is never split by another thread's line.
    std::string line;
    line.reserve(message.size() + 1);
    line.append(message);
    line.push_back('\n');
    // Standard error has nowhere to report its own failure; a lost message is dropped.
    (void)writeFully(STDERR_FILENO, line.data(), line.size());
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

void failWith(const ErrorPtr& error) {
    if (!error) {
        fail(unknownErrorLine);
    }
    if (error->domain == streamErrorDomain && error->code == userDeclinedCode) {
        fail(permissionLine, statusNotAllowed);
    }
    fail(std::string(errorPrefix) + error->description);
}

bool writeAll(const void* data, std::size_t size) {
    return writeFully(STDOUT_FILENO, static_cast<const char*>(data), size);
}

void printJSON(const nlohmann::json& value) {
    // Window titles come from other programs and need not be valid UTF-8; replace what is
    // not rather than lose the whole document.
    std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    (void)writeAll(text.data(), text.size());
}

} // namespace lumatap
