#include "capture/platform.h"
#include "channels/exit.h"
#include "lumatap/command_line.h"

#include <csignal>
#include <thread>
#include <unistd.h>

int main(int argc, char** argv) {
    lumatap::guardProcess();
    lumatap::platform::install(lumatap::platform::forThisMachine());
    // A reader that goes away must make writes fail, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    lumatap::setArgs(std::vector<std::string>(argv, argv + argc));
    std::thread([] { lumatap::dispatch(); }).detach();
    // Every run ends in a process exit from some other thread; this one only waits for it.
    for (;;) {
        pause();
    }
}
