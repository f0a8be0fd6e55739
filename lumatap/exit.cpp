#include "lumatap/exit.h"

#include "lumatap/output.h"

#include <atomic>
#include <unistd.h>

namespace lumatap {
namespace {
std::atomic<bool> claimed{false};
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

} // namespace lumatap
