#include "tests/support/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lumatap::test {

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int outPipe[2];
    int errPipe[2];
    int inPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 ||
        (options.pipeStdin && pipe2(inPipe, O_CLOEXEC) != 0)) {
        std::abort();
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        for (const auto& [key, value] : options.env) {
            setenv(key.c_str(), value.c_str(), 1);
        }
        for (const auto& key : options.unset) {
            unsetenv(key.c_str());
        }
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        if (options.pipeStdin) {
            dup2(inPipe[0], STDIN_FILENO);
        } else {
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, STDIN_FILENO);
        }
        std::signal(SIGPIPE, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (options.pipeStdin) {
        close(inPipe[0]);
        in_ = inPipe[1];
    }
    readers_.emplace_back([this, fd = errPipe[0]] { collect(fd, errText_); });
    if (options.captureStdout) {
        readers_.emplace_back([this, fd = outPipe[0]] { collect(fd, outText_); });
    } else {
        out_ = outPipe[0];
    }
}

Process::~Process() {
    if (running()) {
        kill(SIGKILL);
        wait(std::chrono::seconds(5));
    }
    closeStdin();
    closeStdout();
    drain();
}

void Process::drain() {
    for (auto& reader : readers_) {
        if (reader.joinable()) {
            reader.join();
        }
    }
}

void Process::collect(int fd, std::string& into) {
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        std::lock_guard lock(mutex_);
        into.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
}

std::optional<std::string> Process::readLine(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        std::string c = read(1, std::max(left, std::chrono::milliseconds(0)));
        if (c.empty()) {
            return std::nullopt;
        }
        if (c == "\n") {
            return line;
        }
        line += c;
    }
}

std::string Process::read(std::size_t size, std::chrono::milliseconds timeout) {
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<char> buffer(1 << 16);
    while (data.size() < size && out_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        ssize_t n = ::read(out_, buffer.data(), std::min(buffer.size(), size - data.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        data.append(buffer.data(), static_cast<std::size_t>(n));
    }
    return data;
}

void Process::closeStdout() {
    if (out_ >= 0) {
        close(out_);
        out_ = -1;
    }
}

void Process::writeStdin(const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0 && in_ >= 0) {
        ssize_t n = ::write(in_, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void Process::closeStdin() {
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    if (status_) {
        return status_;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exited_ = WIFEXITED(status);
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool Process::running() {
    return !status_ && !wait(std::chrono::milliseconds(0));
}

void Process::kill(int signal) {
    if (!status_) {
        ::kill(pid_, signal);
    }
}

std::string Process::out() {
    std::lock_guard lock(mutex_);
    return outText_;
}

std::string Process::err() {
    std::lock_guard lock(mutex_);
    return errText_;
}

bool Process::waitForErr(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (err().find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return err().find(text) != std::string::npos;
}

RunResult run(const std::vector<std::string>& argv, const ProcessOptions& options,
              std::chrono::milliseconds timeout) {
    RunResult result;
    Process process(argv, options);
    result.status = process.wait(timeout);
    if (!result.status) {
        process.kill(SIGKILL);
        process.wait(std::chrono::seconds(5));
    }
    process.drain();
    result.out = process.out();
    result.err = process.err();
    return result;
}

} // namespace lumatap::test
