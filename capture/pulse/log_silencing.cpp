#include "capture/pulse/log_silencing.h"

#include <cstdlib>
#include <dlfcn.h>
#include <mutex>

namespace lumatap::pulse {

// Only our own lines may reach standard error, yet libpulse writes its own there (warnings
// about shared memory, and whatever PULSE_LOG asks for). PULSE_LOG is read at the first
// message, so it is pinned to errors only first; errors are then sent nowhere through
// libpulse's log target, which it exports without a header: looked up at run time, and left
// alone where this libpulse has no such thing.
void silenceLibpulse() {
    static std::once_flag once;
    std::call_once(once, [] {
        setenv("PULSE_LOG", "0", 1);
        unsetenv("PULSE_LOG_SYSLOG");
        unsetenv("PULSE_LOG_JOURNAL");
        using Parse = void* (*)(const char*);
        using Set = void (*)(void*);
        using Free = void (*)(void*);
        auto parse = reinterpret_cast<Parse>(dlsym(RTLD_DEFAULT, "pa_log_parse_target"));
        auto set = reinterpret_cast<Set>(dlsym(RTLD_DEFAULT, "pa_log_set_target"));
        auto release = reinterpret_cast<Free>(dlsym(RTLD_DEFAULT, "pa_log_target_free"));
        if (!parse || !set || !release) {
            return;
        }
        if (void* target = parse("null")) {
            set(target);
            release(target);
        }
    });
}

} // namespace lumatap::pulse
