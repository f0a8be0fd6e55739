// sway's own IPC, for what the Wayland protocols do not tell a client: which process shows a
// window, and the WM_CLASS of an X program's window, which sway gives no app id. Its tree names
// each window by the same identifier as the foreign toplevel list.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace lumatap::wayland {

struct SwayWindow {
    std::optional<std::int32_t> pid;
    std::string windowClass; // the class half of WM_CLASS, for an Xwayland window
};

// Foreign-toplevel identifier to what sway knows of the window, for every window in its tree.
// None where no sway answers at `socketPath` (another compositor, or none).
std::optional<std::map<std::string, SwayWindow>> swayWindows(const std::string& socketPath);
// The same, read from the JSON text of a GET_TREE reply.
std::map<std::string, SwayWindow> windowsInTree(std::string_view json);

} // namespace lumatap::wayland
