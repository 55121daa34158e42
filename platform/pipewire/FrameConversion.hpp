#pragma once

// Fills a stream buffer with a BGRA frame in the layout a consumer agreed on: a copy for the 32-bit layouts,
// a conversion to YUV (standard-definition coefficients, studio range) for the others.

#include "StreamFormat.hpp"

#include <cstddef>
#include <cstdint>

namespace kestrova::platform::pipewire {

// A region of BGRA pixels: its first row and the distance between rows.
struct BgraRegion {
    const std::uint8_t* pixels = nullptr;
    std::size_t bytesPerRow = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// Writes the region, bottom row first when flipped, into the target in the format and layout given. The region has
// the format's size and the target holds at least the layout's size.
void convertFrame(const BgraRegion& source, bool flipped, const VideoFormat& format, const FrameLayout& layout,
                  std::uint8_t* target);

}  // namespace kestrova::platform::pipewire
