#pragma once

#include "ScreenCapture.hpp"

#include <cstddef>
#include <cstdint>

namespace kestrova::platform {

// Where a picture lands inside an output of another size: scaled to fit, aspect kept, centred.
struct Placement {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};
Placement fitInside(std::uint32_t width, std::uint32_t height, std::uint32_t outputWidth,
                    std::uint32_t outputHeight);

// Writes the 32-bit little-endian picture into the whole target, scaled to fit, with opaque black around it.
// `opaque` pictures (depth 24) have an undefined fourth byte, which becomes 0xFF.
void scaleToFit(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::size_t stride,
                bool opaque, PixelBuffer& target);
// Sets the fourth byte of every pixel to 0xFF, for a depth-24 picture the server wrote straight into the frame.
void makeOpaque(PixelBuffer& target);

}  // namespace kestrova::platform
