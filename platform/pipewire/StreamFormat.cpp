#include "StreamFormat.hpp"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace kestrova::platform::pipewire {

namespace {

// Enough for the consumer to hold one frame while the next is filled and another is on its way.
constexpr int kBuffers = 4;
constexpr int kFewestBuffers = 2;
constexpr int kMostBuffers = 8;

std::uint32_t spaFormat(PixelLayout layout) {
    switch (layout) {
        case PixelLayout::BGRA: return SPA_VIDEO_FORMAT_BGRA;
        case PixelLayout::BGRx: return SPA_VIDEO_FORMAT_BGRx;
        case PixelLayout::NV12: return SPA_VIDEO_FORMAT_NV12;
        case PixelLayout::I420: return SPA_VIDEO_FORMAT_I420;
    }
    return SPA_VIDEO_FORMAT_UNKNOWN;
}

const spa_pod* buildMeta(spa_pod_builder& builder, std::uint32_t type, std::size_t size) {
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_add(&builder,
                        SPA_PARAM_META_type, SPA_POD_Id(type),
                        SPA_PARAM_META_size, SPA_POD_Int(static_cast<int>(size)),
                        0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

}  // namespace

FrameLayout frameLayout(const VideoFormat& format, RowPadding padding) {
    const auto row = [padding](std::size_t bytes) {
        return padding == RowPadding::FourBytes ? (bytes + 3) & ~std::size_t{3} : bytes;
    };
    const std::size_t width = format.width;
    const std::size_t height = format.height;
    const std::size_t chromaWidth = (width + 1) / 2;
    const std::size_t chromaHeight = (height + 1) / 2;
    FrameLayout layout;
    auto add = [&layout](std::size_t stride, std::size_t rows) {
        layout.planes[layout.planeCount++] = {layout.size, stride, rows};
        layout.size += stride * rows;
    };
    switch (format.layout) {
        case PixelLayout::BGRA:
        case PixelLayout::BGRx: add(width * 4, height); break;
        case PixelLayout::NV12:
            add(row(width), height);
            add(row(chromaWidth * 2), chromaHeight);
            break;
        case PixelLayout::I420:
            add(row(width), height);
            add(row(chromaWidth), chromaHeight);
            add(row(chromaWidth), chromaHeight);
            break;
    }
    return layout;
}

const spa_pod* buildOfferedFormat(spa_pod_builder& builder, const VideoFormat& format) {
    spa_rectangle size{format.width, format.height};
    spa_fraction rate{kNominalFramesPerSecond, 1};
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&builder,
                        SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
                        SPA_FORMAT_VIDEO_format, SPA_POD_Id(spaFormat(format.layout)),
                        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
                        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate),
                        0);
    // YUV consumers convert back with the coefficients of standard-definition video in studio range.
    if (format.layout == PixelLayout::NV12 || format.layout == PixelLayout::I420) {
        spa_pod_builder_add(&builder,
                            SPA_FORMAT_VIDEO_colorMatrix, SPA_POD_Id(SPA_VIDEO_COLOR_MATRIX_BT601),
                            SPA_FORMAT_VIDEO_colorRange, SPA_POD_Id(SPA_VIDEO_COLOR_RANGE_16_235),
                            0);
    }
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

const spa_pod* buildAnyFormat(spa_pod_builder& builder, std::span<const PixelLayout> layouts) {
    spa_rectangle preferred{1280, 720};
    spa_rectangle smallest{1, 1};
    spa_rectangle largest{kLargestSide, kLargestSide};
    spa_fraction preferredRate{kNominalFramesPerSecond, 1};
    spa_fraction slowest{0, 1};
    spa_fraction fastest{1000, 1};
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&builder,
                        SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
                        0);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
    if (layouts.size() == 1) {
        spa_pod_builder_id(&builder, spaFormat(layouts.front()));
    } else {
        // An enumeration's first value is its default.
        spa_pod_frame choice{};
        spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
        spa_pod_builder_id(&builder, spaFormat(layouts.front()));
        for (const PixelLayout layout : layouts) spa_pod_builder_id(&builder, spaFormat(layout));
        spa_pod_builder_pop(&builder, &choice);
    }
    spa_pod_builder_add(&builder,
                        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&preferred, &smallest, &largest),
                        SPA_FORMAT_VIDEO_framerate,
                        SPA_POD_CHOICE_RANGE_Fraction(&preferredRate, &slowest, &fastest),
                        0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

const spa_pod* buildBuffers(spa_pod_builder& builder, const FrameLayout* layout) {
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    if (layout != nullptr) {
        spa_pod_builder_add(&builder,
                            SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(kBuffers, kFewestBuffers, kMostBuffers),
                            SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
                            SPA_PARAM_BUFFERS_size, SPA_POD_Int(static_cast<int>(layout->size)),
                            SPA_PARAM_BUFFERS_stride, SPA_POD_Int(static_cast<int>(layout->planes[0].stride)),
                            0);
    }
    spa_pod_builder_add(&builder,
                        SPA_PARAM_BUFFERS_dataType,
                        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)),
                        0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

const spa_pod* buildHeaderMeta(spa_pod_builder& builder) {
    return buildMeta(builder, SPA_META_Header, sizeof(spa_meta_header));
}

const spa_pod* buildCropMeta(spa_pod_builder& builder) {
    return buildMeta(builder, SPA_META_VideoCrop, sizeof(spa_meta_region));
}

std::optional<VideoFormat> agreedFormat(const spa_pod* param) {
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (param == nullptr || spa_format_parse(param, &mediaType, &mediaSubtype) < 0) return std::nullopt;
    if (mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) return std::nullopt;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return std::nullopt;
    if (info.size.width == 0 || info.size.height == 0) return std::nullopt;
    for (const PixelLayout layout : kOfferedLayouts) {
        if (spaFormat(layout) == info.format) return VideoFormat{layout, info.size.width, info.size.height};
    }
    return std::nullopt;
}

}  // namespace kestrova::platform::pipewire
