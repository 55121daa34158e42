#pragma once

// Fills a stream buffer with a BGRA frame in the layout a consumer agreed on: a copy for the 32-bit layouts,
// a conversion to YUV (standard-definition coefficients, studio range) for the others.

#include "StreamFormat.hpp"

#include <cstddef>
#include <cstdint>

namespace kestrova::platform::pipewire {

// A frame of BGRA pixels: its first row and the distance between rows.
struct BgraFrame {
    const std::uint8_t* pixels = nullptr;
    std::size_t bytesPerRow = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// Writes the frame into the target in the format and layout given. The frame has the format's size and the target
// holds at least the layout's size.
void convertFrame(const BgraFrame& source, const VideoFormat& format, const FrameLayout& layout, std::uint8_t* target);

}  // namespace kestrova::platform::pipewire
