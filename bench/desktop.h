// A made-up desktop picture for benchmarks: a gradient background, flat windows and lines of
// small glyph-like strokes, which is what makes real screens hard to scale and compress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumatap::bench {

inline std::vector<std::uint8_t> desktop(std::size_t width, std::size_t height) {
    std::vector<std::uint8_t> bgra(width * height * 4);
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            std::uint8_t* p = &bgra[(y * width + x) * 4];
            p[0] = static_cast<std::uint8_t>(90 + 100 * y / height);
            p[1] = static_cast<std::uint8_t>(60 + 60 * x / width);
            p[2] = 40;
            p[3] = 255;
        }
    }
    std::uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (int w = 0; w < 6; ++w) {
        std::size_t left = next() % (width / 2);
        std::size_t top = next() % (height / 2);
        std::size_t right = std::min(width, left + width / 3 + next() % (width / 4));
        std::size_t bottom = std::min(height, top + height / 3 + next() % (height / 4));
        std::uint8_t shade = static_cast<std::uint8_t>(200 + next() % 56);
        for (std::size_t y = top; y < bottom; ++y) {
            for (std::size_t x = left; x < right; ++x) {
                std::uint8_t* p = &bgra[(y * width + x) * 4];
                p[0] = p[1] = p[2] = shade;
            }
        }
        // Lines of text: 7 by 12 cells with a few dark strokes each.
        for (std::size_t y = top + 20; y + 12 < bottom; y += 16) {
            for (std::size_t x = left + 8; x + 7 < right - 8; x += 7) {
                std::uint32_t glyph = next();
                if (glyph % 9 == 0) {
                    continue; // a space
                }
                for (int stroke = 0; stroke < 12; ++stroke) {
                    if (glyph & (1u << stroke)) {
                        bool across = stroke % 2;
                        std::size_t sx = x + (glyph >> (stroke + 8)) % 6;
                        std::size_t sy = y + (glyph >> (stroke + 4)) % 11;
                        for (int i = 0; i < 5; ++i) {
                            std::size_t px = across ? sx + i % 6 : sx;
                            std::size_t py = across ? sy : sy + i;
                            std::uint8_t* p =
                                &bgra[(std::min(py, height - 1) * width + std::min(px, width - 1)) *
                                      4];
                            p[0] = p[1] = p[2] = 30;
                        }
                    }
                }
            }
        }
    }
    return bgra;
}

} // namespace lumatap::bench
