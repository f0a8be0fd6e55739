// PNG files as tests read them: decoded to 8-bit RGB, or none when they are not valid PNG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace lumatap::test {

struct Decoded {
    std::size_t width = 0;
    std::size_t height = 0;
    std::vector<std::uint8_t> rgb; // rows of width * 3 bytes, no padding

    // The colour at (x, y) as 0xRRGGBB.
    std::uint32_t at(std::size_t x, std::size_t y) const;
};

std::optional<Decoded> decodePNG(std::string_view file);

// Whether two 0xRRGGBB colours differ by at most `tolerance` in every channel.
bool near(std::uint32_t a, std::uint32_t b, int tolerance = 2);

} // namespace lumatap::test
