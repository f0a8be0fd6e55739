#include "capture/x11/host.h"

#include <unistd.h>

namespace lumatap::x11 {

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

} // namespace lumatap::x11
