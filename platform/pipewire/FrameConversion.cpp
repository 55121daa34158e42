#include "FrameConversion.hpp"

#include <cstring>

#include <libyuv/convert_from_argb.h>

namespace kestrova::platform::pipewire {

void convertFrame(const BgraRegion& source, bool flipped, const VideoFormat& format, const FrameLayout& layout,
                  std::uint8_t* target) {
    const auto& planes = layout.planes;
    const int width = static_cast<int>(source.width);
    const int height = static_cast<int>(source.height);
    const int sourceStride = static_cast<int>(source.bytesPerRow);
    // libyuv reads a negative height as bottom row first; its ARGB is BGRA in memory.
    const int signedHeight = flipped ? -height : height;
    switch (format.layout) {
        case PixelLayout::BGRA:
        case PixelLayout::BGRx: {
            const std::size_t rowBytes = planes[0].stride;
            if (!flipped && source.bytesPerRow == rowBytes) {
                std::memcpy(target, source.pixels, rowBytes * source.height);
                return;
            }
            for (std::uint32_t row = 0; row < source.height; ++row) {
                const std::uint32_t from = flipped ? source.height - 1 - row : row;
                std::memcpy(target + row * rowBytes, source.pixels + from * source.bytesPerRow, rowBytes);
            }
            return;
        }
        case PixelLayout::NV12:
            libyuv::ARGBToNV12(source.pixels, sourceStride, target + planes[0].offset,
                               static_cast<int>(planes[0].stride), target + planes[1].offset,
                               static_cast<int>(planes[1].stride), width, signedHeight);
            return;
        case PixelLayout::I420:
            libyuv::ARGBToI420(source.pixels, sourceStride, target + planes[0].offset,
                               static_cast<int>(planes[0].stride), target + planes[1].offset,
                               static_cast<int>(planes[1].stride), target + planes[2].offset,
                               static_cast<int>(planes[2].stride), width, signedHeight);
            return;
    }
}

}  // namespace kestrova::platform::pipewire
