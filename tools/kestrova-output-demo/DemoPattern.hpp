#pragma once

// What the demo windows show, and how a frame of them is read back at any scale: the top eighth of the window is a
// row of cells, two marker cells (white, black) and then the frame counter's bits, most significant first (white
// is 1); the rest is a colour of the window's own, derived from its name.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrova::demo {

inline constexpr int kCounterBits = 24;
inline constexpr int kCells = 2 + kCounterBits;
inline constexpr std::uint32_t kRows = 8;

// 0x00RRGGBB, never too dark or too bright to be mistaken for a bit cell.
inline std::uint32_t colorFor(std::string_view name) {
    std::uint32_t hash = 2166136261u;
    for (const char c : name) hash = (hash ^ static_cast<std::uint8_t>(c)) * 16777619u;
    const auto channel = [&](int shift) { return 0x40u + ((hash >> shift) & 0x7Fu); };
    return channel(0) << 16 | channel(8) << 8 | channel(16);
}

// Fills a BGRA picture with the pattern for this counter value.
inline void draw(std::uint8_t* pixels, std::size_t stride, std::uint32_t width, std::uint32_t height,
                 std::uint32_t counter, std::uint32_t color) {
    const std::uint32_t band = height / kRows;
    for (std::uint32_t y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(pixels + y * stride);
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint32_t value = color;
            if (y < band) {
                const int cell = static_cast<int>(std::uint64_t{x} * kCells / width);
                const bool white = cell == 0 || (cell >= 2 && (counter >> (kCounterBits - 1 - (cell - 2)) & 1u));
                value = white ? 0xFFFFFFu : 0x000000u;
            }
            row[x] = 0xFF000000u | value;
        }
    }
}

// The counter shown in a BGRA frame of any size, or nothing when the frame does not show the pattern.
inline std::optional<std::uint32_t> decode(const std::uint8_t* pixels, std::size_t stride, std::uint32_t width,
                                           std::uint32_t height) {
    if (width < kCells || height < kRows * 2) return std::nullopt;
    const std::uint32_t y = height / kRows / 2;
    const auto bright = [&](int cell) -> std::optional<bool> {
        const auto x = static_cast<std::uint32_t>((2 * cell + 1) * std::uint64_t{width} / (2 * kCells));
        const std::uint8_t* p = pixels + y * stride + x * 4;
        const int sum = p[0] + p[1] + p[2];
        if (sum > 600) return true;
        if (sum < 165) return false;
        return std::nullopt;
    };
    if (bright(0) != true || bright(1) != false) return std::nullopt;
    std::uint32_t counter = 0;
    for (int bit = 0; bit < kCounterBits; ++bit) {
        const auto b = bright(2 + bit);
        if (!b) return std::nullopt;
        counter = counter << 1 | (*b ? 1u : 0u);
    }
    return counter;
}

}  // namespace kestrova::demo
