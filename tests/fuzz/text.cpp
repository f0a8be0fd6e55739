// Window title decoding of any bytes: Latin-1 gives valid UTF-8 that decodes back to exactly
// the input; COMPOUND_TEXT gives valid UTF-8 (no stray bytes, overlong forms, surrogates or
// code points past U+10FFFF that a JSON reader would choke on), through Xlib when DISPLAY
// names a server and through the Latin-1 fallback otherwise.
#include "capture/x11/text.h"

#include "tests/fuzz/check.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

namespace lumatap::x11 {
namespace {

using fuzz::check;

// The code points of strictly valid UTF-8, or none.
std::optional<std::vector<char32_t>> decode(std::string_view text) {
    std::vector<char32_t> points;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t point = 0;
        char32_t least = 0;
        if (lead < 0x80) {
            length = 1;
            point = lead;
        } else if ((lead & 0xe0) == 0xc0) {
            length = 2;
            point = lead & 0x1f;
            least = 0x80;
        } else if ((lead & 0xf0) == 0xe0) {
            length = 3;
            point = lead & 0x0f;
            least = 0x800;
        } else if ((lead & 0xf8) == 0xf0) {
            length = 4;
            point = lead & 0x07;
            least = 0x10000;
        } else {
            return std::nullopt;
        }
        if (text.size() - i < length) {
            return std::nullopt;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) {
                return std::nullopt;
            }
            point = point << 6 | (next & 0x3f);
        }
        if (point < least || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
            return std::nullopt;
        }
        points.push_back(point);
        i += length;
    }
    return points;
}

} // namespace
} // namespace lumatap::x11

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumatap::x11;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const auto latin1 = decode(latin1ToUtf8(text));
    check(latin1.has_value(), "Latin-1 gives valid UTF-8");
    check(latin1->size() == text.size() &&
              std::equal(latin1->begin(), latin1->end(), text.begin(),
                         [](char32_t p, char c) { return p == static_cast<unsigned char>(c); }),
          "Latin-1 decodes back to the input");

    const std::string compound = compoundTextToUtf8(text);
    check(decode(compound).has_value(), "COMPOUND_TEXT gives valid UTF-8");
    // Without a server the fallback reads text without escape sequences as plain Latin-1.
    static const bool fallback = std::getenv("DISPLAY") == nullptr;
    if (fallback && text.find('\x1b') == std::string_view::npos) {
        check(compound == latin1ToUtf8(text), "the fallback reads Latin-1");
    }
    return 0;
}
