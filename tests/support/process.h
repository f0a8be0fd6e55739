// A child program started by a test, with its standard output and error piped back.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace lumatap::test {

struct ProcessOptions {
    std::map<std::string, std::string> env; // set in the child, on top of the test's own
    std::vector<std::string> unset;         // removed from the child's environment
    bool pipeStdin = false;
    bool captureStdout = true; // read into a buffer by the harness; else the test reads `outFd`
};

class Process {
  public:
    Process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
    ~Process(); // kills the child if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // Standard output as a pipe the test reads itself (when not captured).
    int outFd() const { return out_; }
    // Reads exactly `size` bytes of standard output (not captured), or fewer at end/deadline.
    std::string read(std::size_t size, std::chrono::milliseconds timeout);
    // Reads one line of standard output (not captured), without its line feed; none when the
    // output ends or the deadline passes first.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    void closeStdout();
    void writeStdin(const std::string& text);
    void closeStdin();

    // Waits for the end; none when it still runs at the deadline.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running();
    void kill(int signal);

    // What the harness collected so far.
    std::string out();
    std::string err();
    // Waits until standard error holds `text`; false at the deadline.
    bool waitForErr(const std::string& text, std::chrono::milliseconds timeout);
    // Waits until the child's output pipes have closed and everything is collected.
    void drain();
    // Whether the child ended by exit, and how (after wait()).
    bool exitedNormally() const { return exited_; }

  private:
    void collect(int fd, std::string& into);

    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    bool exited_ = false;
    std::optional<int> status_;
    std::mutex mutex_;
    std::string outText_;
    std::string errText_;
    std::vector<std::thread> readers_;
};

// Runs a program to its end and returns its status with both outputs.
struct RunResult {
    std::optional<int> status; // none when it had to be killed at the deadline
    std::string out;
    std::string err;
};
RunResult run(const std::vector<std::string>& argv, const ProcessOptions& options = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(20));

} // namespace lumatap::test
