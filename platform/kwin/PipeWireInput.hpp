#pragma once

#include "Error.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

struct pw_buffer;

namespace kestrova::platform::kwin {

// A rectangle of a picture, in its pixels.
struct PictureRegion {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// One picture the compositor sent, readable until it is released: only the part its crop names when it sent a
// larger one (Mutter's window casts are monitor-sized, the window in the crop).
struct InputFrame {
    const std::uint8_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t stride = 0;
    bool opaque = false;  // BGRx: the fourth byte is undefined
};

// The crop a buffer's video-crop metadata names, when it lies inside a width × height picture; nothing when the
// buffer carries none. An empty or outlying region is `invalid`: the buffer shows nothing usable.
struct CropReading {
    std::optional<PictureRegion> crop;
    bool invalid = false;
};
CropReading cropOf(std::int32_t x, std::int32_t y, std::uint32_t regionWidth, std::uint32_t regionHeight,
                   std::uint32_t width, std::uint32_t height);

// A PipeWire input stream of one node, in shared-memory BGRA or BGRx buffers, run on the calling thread: the
// owner polls fd() and calls dispatch() when it is readable. Only the newest picture is kept; older ones go back
// to the compositor at once.
class PipeWireInput {
public:
    static std::variant<std::unique_ptr<PipeWireInput>, Error> connect(std::uint32_t node);
    ~PipeWireInput();
    PipeWireInput(const PipeWireInput&) = delete;
    PipeWireInput& operator=(const PipeWireInput&) = delete;

    int fd() const;
    // Runs the callbacks that are ready, without waiting.
    void dispatch();
    // The newest picture not yet released, if any.
    std::optional<InputFrame> newest() const;
    // Gives the newest picture back to the compositor.
    void release();
    // Why the stream ended, once it has.
    const std::optional<Error>& failure() const { return failure_; }
    // The picture's size changed after the stream began. KWin does not get a stream going again after that
    // (it stays paused, with no buffers), so the owner casts the window anew.
    bool resized() const { return resized_; }

private:
    struct Impl;
    PipeWireInput();
    void hold(pw_buffer* buffer);

    std::unique_ptr<Impl> impl_;
    std::optional<Error> failure_;
    bool resized_ = false;
};

}  // namespace kestrova::platform::kwin
