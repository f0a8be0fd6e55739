// The three channels to the host: payload bytes on standard output, one-line messages on
// standard error, and the exit status. Nothing here buffers: every call writes at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string_view>
#include <vector>

namespace lumatap {

// Writes `message` and a line feed to standard error in one request.
void say(std::string_view message);
// Ends the process with `message` on standard error and `status`.
[[noreturn]] void fail(std::string_view message, int status = 1);

// Writes every byte to standard output as one piece of payload, retrying interrupted and
// partial writes. False when a write failed (the reader has gone, say), what was written
// before staying written, or when the process is ending, nothing then being written.
bool writeAll(const void* data, std::size_t size);

// The same for a piece that lies in several parts, written in order.
struct Part {
    const void* data = nullptr;
    std::size_t size = 0;
};
bool writeAll(const Part* parts, std::size_t count);
inline bool writeAll(const std::vector<std::uint8_t>& bytes) {
    return writeAll(bytes.data(), bytes.size());
}

// Writes `value` as compact JSON with no line feed after it; a failed write is ignored.
void printJSON(const nlohmann::json& value);

// The raw line writer behind `say`, also used by the exit path once it has won.
void writeLine(std::string_view message);

} // namespace lumatap
