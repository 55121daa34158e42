#include "FrameScaler.hpp"

#include <algorithm>
#include <cstring>

#include <pixman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrova::platform {

namespace {

constexpr std::uint32_t kOpaqueBlack = 0xFF000000;

void writePair(const std::uint8_t* source, std::uint32_t x, std::uint32_t alpha, std::uint8_t* row) {
    std::uint32_t pixel;
    std::memcpy(&pixel, source + 4 * std::size_t{x}, 4);
    const std::uint64_t one = pixel | alpha;
    const std::uint64_t pair = one | (one << 32);
    std::memcpy(row + 8 * std::size_t{x}, &pair, 8);
}

// One doubled row. Where the row's alignment allows, 16-byte streaming stores: a frame is far larger than the
// caches and is read next on another thread, so writing around the cache spares reading each line before it is
// overwritten.
void doubleRow(const std::uint8_t* source, std::uint32_t width, std::uint32_t alpha, std::uint8_t* row) {
    std::uint32_t x = 0;
#if defined(__SSE2__)
    const auto address = reinterpret_cast<std::uintptr_t>(row);
    if (address % 8 == 0) {
        if (address % 16 == 8 && width > 0) writePair(source, x++, alpha, row);
        const __m128i opaque = _mm_set1_epi32(static_cast<int>(alpha));
        for (; x + 4 <= width; x += 4) {
            const __m128i four = _mm_or_si128(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 4 * std::size_t{x})), opaque);
            auto* out = reinterpret_cast<__m128i*>(row + 8 * std::size_t{x});
            _mm_stream_si128(out, _mm_unpacklo_epi32(four, four));
            _mm_stream_si128(out + 1, _mm_unpackhi_epi32(four, four));
        }
    }
#endif
    for (; x < width; ++x) writePair(source, x, alpha, row);
}

// The common case: exact doubling, each source row written out twice.
void doubleInto(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::size_t stride,
                std::uint32_t alpha, std::uint8_t* out, std::size_t outStride) {
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* source = pixels + y * stride;
        doubleRow(source, width, alpha, out + 2 * y * outStride);
        doubleRow(source, width, alpha, out + (2 * y + 1) * outStride);
    }
#if defined(__SSE2__)
    // Streaming stores are weakly ordered: they must be done before the frame is handed to another thread.
    _mm_sfence();
#endif
}

void copyInto(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::size_t stride,
              std::uint32_t alpha, std::uint8_t* out, std::size_t outStride) {
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* source = pixels + y * stride;
        std::uint8_t* row = out + y * outStride;
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint32_t pixel;
            std::memcpy(&pixel, source + 4 * std::size_t{x}, 4);
            pixel |= alpha;
            std::memcpy(row + 4 * std::size_t{x}, &pixel, 4);
        }
    }
}

// Any other factor goes through pixman, filtered; an x8r8g8b8 source reads as opaque.
void resampleInto(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::size_t stride,
                  bool opaque, PixelBuffer& target, const Placement& place) {
    pixman_image_t* source = pixman_image_create_bits(
        opaque ? PIXMAN_x8r8g8b8 : PIXMAN_a8r8g8b8, static_cast<int>(width), static_cast<int>(height),
        reinterpret_cast<std::uint32_t*>(const_cast<std::uint8_t*>(pixels)), static_cast<int>(stride));
    pixman_image_t* output = pixman_image_create_bits(
        PIXMAN_a8r8g8b8, static_cast<int>(target.width()), static_cast<int>(target.height()),
        reinterpret_cast<std::uint32_t*>(target.bytes()), static_cast<int>(target.bytesPerRow()));
    if (source && output) {
        pixman_transform_t transform;
        pixman_transform_init_scale(&transform, pixman_double_to_fixed(double(width) / place.width),
                                    pixman_double_to_fixed(double(height) / place.height));
        pixman_image_set_transform(source, &transform);
        pixman_image_set_filter(source, PIXMAN_FILTER_BILINEAR, nullptr, 0);
        pixman_image_set_repeat(source, PIXMAN_REPEAT_PAD);
        pixman_image_composite32(PIXMAN_OP_SRC, source, nullptr, output, 0, 0, 0, 0, static_cast<int>(place.x),
                                 static_cast<int>(place.y), static_cast<int>(place.width),
                                 static_cast<int>(place.height));
    }
    if (source) pixman_image_unref(source);
    if (output) pixman_image_unref(output);
}

void fill(PixelBuffer& target, std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height) {
    if (width == 0 || height == 0) return;
    pixman_fill(reinterpret_cast<std::uint32_t*>(target.bytes()), static_cast<int>(target.bytesPerRow() / 4), 32,
                static_cast<int>(x), static_cast<int>(y), static_cast<int>(width), static_cast<int>(height),
                kOpaqueBlack);
}

}  // namespace

Placement fitInside(std::uint32_t width, std::uint32_t height, std::uint32_t outputWidth,
                    std::uint32_t outputHeight) {
    if (width == 0 || height == 0) return {};
    const std::uint64_t w = width, h = height, ow = outputWidth, oh = outputHeight;
    Placement place;
    // Integer arithmetic, rounded to nearest: a float ratio can land one pixel short of an exact double.
    if (ow * h <= oh * w) {
        place.width = outputWidth;
        place.height = static_cast<std::uint32_t>(std::clamp<std::uint64_t>((2 * h * ow + w) / (2 * w), 1, oh));
    } else {
        place.height = outputHeight;
        place.width = static_cast<std::uint32_t>(std::clamp<std::uint64_t>((2 * w * oh + h) / (2 * h), 1, ow));
    }
    place.x = (outputWidth - place.width) / 2;
    place.y = (outputHeight - place.height) / 2;
    return place;
}

void scaleToFit(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::size_t stride,
                bool opaque, PixelBuffer& target) {
    const Placement place = fitInside(width, height, target.width(), target.height());
    if (place.width == 0 || place.height == 0) {
        fill(target, 0, 0, target.width(), target.height());
        return;
    }
    fill(target, 0, 0, target.width(), place.y);
    fill(target, 0, place.y + place.height, target.width(), target.height() - place.y - place.height);
    fill(target, 0, place.y, place.x, place.height);
    fill(target, place.x + place.width, place.y, target.width() - place.x - place.width, place.height);

    const std::uint32_t alpha = opaque ? kOpaqueBlack : 0;
    std::uint8_t* corner = target.bytes() + place.y * target.bytesPerRow() + 4 * std::size_t{place.x};
    if (place.width == 2 * width && place.height == 2 * height) {
        doubleInto(pixels, width, height, stride, alpha, corner, target.bytesPerRow());
    } else if (place.width == width && place.height == height) {
        copyInto(pixels, width, height, stride, alpha, corner, target.bytesPerRow());
    } else {
        resampleInto(pixels, width, height, stride, opaque, target, place);
    }
}

void makeOpaque(PixelBuffer& target) {
    for (std::uint32_t y = 0; y < target.height(); ++y) {
        std::uint8_t* row = target.bytes() + y * target.bytesPerRow();
        // Whole pixels at a time, which the compiler turns into wide ORs.
        for (std::uint32_t x = 0; x < target.width(); ++x) {
            std::uint32_t pixel;
            std::memcpy(&pixel, row + 4 * std::size_t{x}, 4);
            pixel |= kOpaqueBlack;
            std::memcpy(row + 4 * std::size_t{x}, &pixel, 4);
        }
    }
}

}  // namespace kestrova::platform
