#include "tests/support/child.h"

#include <csignal>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// ThreadSanitizer pauses a second in _exit by default while the other threads run on, so a
// child would go on writing after the exit the test meant to be its end. And the program ends
// by _exit with its threads still running, by design; they are not leaks.
extern "C" const char* __tsan_default_options() {
    return "atexit_sleep_ms=0:report_thread_leaks=0";
}

namespace lumatap::test {
namespace {

std::string readAll(int fd) {
    std::string text;
    char buffer[65536];
    lseek(fd, 0, SEEK_SET);
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

} // namespace

ChildResult runInChild(const std::function<void()>& body, std::chrono::milliseconds timeout) {
    int out = memfd_create("child-stdout", 0);
    int err = memfd_create("child-stderr", 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::signal(SIGPIPE, SIG_IGN);
        body();
        _exit(99); // the body returned, which the program never does
    }
    ChildResult result;
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status)) {
        result.exited = !result.timedOut;
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    result.out = readAll(out);
    result.err = readAll(err);
    close(out);
    close(err);
    return result;
}

} // namespace lumatap::test
