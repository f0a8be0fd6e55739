#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumatap {

// Stores the argument vector; done once by the entry before anything reads it.
void setArgs(std::vector<std::string> arguments);

// Element `index` of the arguments, or the empty text when there is none.
const std::string& arg(std::size_t index);

// The text read as a decimal number under the command line's rules: one optional sign, then
// ASCII digits only, within the signed 64-bit range. None when it is not such a number.
std::optional<std::int64_t> parseNumber(std::string_view text);

// Argument `index` as a number of at least 1; otherwise ends the process with the bad-number
// line and status 1.
std::int64_t num(std::size_t index);

// Argument `index` as a capture target id: a number from 1 to 4294967295, else the
// bad-number line and status 1 (an id is never truncated into range).
std::uint32_t targetID(std::size_t index);

// Starts the parent watch, then runs the command the arguments name. Never returns.
[[noreturn]] void dispatch();

} // namespace lumatap
