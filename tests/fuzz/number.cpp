// The command line's numbers: exactly one optional sign and ASCII digits within the signed
// 64-bit range are accepted, with their value; everything else (spaces, a second sign, other
// digit sets, empty digits, overflow, bytes after a NUL) is refused.
#include "lumatap/command_line.h"
#include "tests/fuzz/check.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace lumatap {
namespace {

// The plain reading: the shape checked byte by byte, the value and the range left to strtoll.
std::optional<std::int64_t> reference(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return std::nullopt;
    }
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    std::string terminated(text);
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(terminated.c_str(), &end, 10);
    if (errno == ERANGE || end != terminated.c_str() + terminated.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace
} // namespace lumatap

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    lumatap::fuzz::check(lumatap::parseNumber(text) == lumatap::reference(text),
                         "parseNumber agrees with strtoll on the accepted shape");
    return 0;
}
