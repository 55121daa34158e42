#include "FrameConversion.hpp"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>

namespace kestrova::platform::pipewire {

void convertFrame(const BgraFrame& source, const VideoFormat& format, const FrameLayout& layout,
                  std::uint8_t* target) {
    const auto& planes = layout.planes;
    const int width = static_cast<int>(source.width);
    const int height = static_cast<int>(source.height);
    const int sourceStride = static_cast<int>(source.bytesPerRow);
    // libyuv's ARGB is BGRA in memory.
    switch (format.layout) {
        case PixelLayout::BGRA:
        case PixelLayout::BGRx:
            libyuv::ARGBCopy(source.pixels, sourceStride, target, static_cast<int>(planes[0].stride), width, height);
            return;
        case PixelLayout::NV12:
            libyuv::ARGBToNV12(source.pixels, sourceStride, target + planes[0].offset,
                               static_cast<int>(planes[0].stride), target + planes[1].offset,
                               static_cast<int>(planes[1].stride), width, height);
            return;
        case PixelLayout::I420:
            libyuv::ARGBToI420(source.pixels, sourceStride, target + planes[0].offset,
                               static_cast<int>(planes[0].stride), target + planes[1].offset,
                               static_cast<int>(planes[1].stride), target + planes[2].offset,
                               static_cast<int>(planes[2].stride), width, height);
            return;
    }
}

}  // namespace kestrova::platform::pipewire
