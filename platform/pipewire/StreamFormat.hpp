#pragma once

// The video formats the node offers and the receiver asks for, as PipeWire parameters, and the memory layout a
// frame of each takes in one stream buffer. Shared by the source and the receiving tool so both speak the same
// parameters.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

struct spa_pod;
struct spa_pod_builder;

namespace kestrova::platform::pipewire {

// In the order the node prefers them: the frame as it is, then what the pickier consumers take.
enum class PixelLayout { BGRA, BGRx, NV12, I420 };
inline constexpr std::array<PixelLayout, 4> kOfferedLayouts{PixelLayout::BGRA, PixelLayout::BGRx, PixelLayout::NV12,
                                                            PixelLayout::I420};

struct VideoFormat {
    PixelLayout layout = PixelLayout::BGRA;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// One plane of a frame inside the buffer.
struct Plane {
    std::size_t offset = 0;
    std::size_t stride = 0;
    std::size_t rows = 0;
};

// The planes one after another in one block. Consumers disagree on the rows of YUV planes: GStreamer lays them out
// padded to four bytes, the browsers' camera capture asks for them unpadded (a stride of exactly the width).
struct FrameLayout {
    std::array<Plane, 3> planes{};
    std::size_t planeCount = 0;
    std::size_t size = 0;
};
enum class RowPadding { FourBytes, None };
FrameLayout frameLayout(const VideoFormat& format, RowPadding padding);

// The longest side of a frame the node sends: larger frames' byte counts would not fit PipeWire's 32-bit buffer
// sizes.
inline constexpr std::uint32_t kLargestSide = 16384;

// The nominal rate the node announces; frames still go out only when there is a new one.
inline constexpr std::uint32_t kNominalFramesPerSecond = 60;

// One format of the node's list: this layout at the nominal rate, of this size.
const spa_pod* buildOfferedFormat(spa_pod_builder& builder, const VideoFormat& format);
// Any of the layouts (the first preferred), of any size and rate, for a receiver that follows what its producer
// sends.
const spa_pod* buildAnyFormat(spa_pod_builder& builder, std::span<const PixelLayout> layouts);
// Buffers in shared memory (memfd or plain), one block each; with a layout, of its size and first stride.
const spa_pod* buildBuffers(spa_pod_builder& builder, const FrameLayout* layout);
// The header that carries each frame's sequence number and time.
const spa_pod* buildHeaderMeta(spa_pod_builder& builder);
// The region of each frame that holds the picture, for a producer that marks one.
const spa_pod* buildCropMeta(spa_pod_builder& builder);

// What a stream's Format parameter agreed on; nothing when it was cleared or is not raw video of a known layout.
std::optional<VideoFormat> agreedFormat(const spa_pod* param);

}  // namespace kestrova::platform::pipewire
