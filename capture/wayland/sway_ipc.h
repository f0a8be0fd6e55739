// sway's own IPC, for the one thing the Wayland protocols do not tell a client: which process
// shows a window. Its tree names each window by the same identifier as the foreign toplevel
// list, with the window's process id.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace lumatap::wayland {

// Foreign-toplevel identifier to process id, for every window in sway's tree. None where no
// sway answers at `socketPath` (another compositor, or none).
std::optional<std::map<std::string, std::int32_t>>
swayWindowProcesses(const std::string& socketPath);

// The same, read from the JSON text of a GET_TREE reply.
std::map<std::string, std::int32_t> processesInTree(std::string_view json);

} // namespace lumatap::wayland
