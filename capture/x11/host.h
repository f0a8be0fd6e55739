// The name of this machine, which X clients on it give as their WM_CLIENT_MACHINE.
#pragma once

#include <string>

namespace lumatap::x11 {

// Empty where it cannot be read.
std::string hostName();

} // namespace lumatap::x11
