#include "lumatap/parent_watch.h"

#include "channels/exit.h"
#include "channels/messages.h"

#include <chrono>
#include <thread>
#include <unistd.h>

namespace lumatap {

void watchParent() {
    pid_t parent = getppid();
    // Polled: a parent's death sends no signal unless asked for, and a reparented process
    // sees another parent id at once.
    std::thread([parent] {
        while (getppid() == parent) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        exitNow(statusDone);
    }).detach();
}

} // namespace lumatap
