// The processes of this user that the system shows, standing in for the running
// applications: on Linux a program that plays sound need own no window.
#pragma once

#include "capture/platform.h"

#include <string>
#include <vector>

namespace lumatap::x11 {

struct SessionProcess {
    ProcessID pid = 0;
    std::string name; // the short name the kernel keeps
};

// Every process with our real user id, kernel threads left out, in no particular order.
// Processes that end while the list is read are left out.
std::vector<SessionProcess> sessionProcesses();

} // namespace lumatap::x11
