#pragma once

// The stream's buffers, allocated by the node itself: each is a memfd, sealed at its size, that consumers map and
// that is also a pixel buffer, so a capture can write a frame straight into the memory a consumer reads. A buffer is
// written only while the node holds it (dequeued, not yet queued) and nothing else refers to its pixels. Used under
// the loop's lock.

#include "ScreenCapture.hpp"
#include "StreamFormat.hpp"

#include <memory>
#include <vector>

struct pw_buffer;
struct pw_stream;

namespace kestrova::platform::pipewire {

class StreamBuffers {
public:
    struct Slot {
        pw_buffer* buffer = nullptr;
        // The buffer's memory; a BGRA frame of the agreed size when `bgra`, else a block the YUV planes fill.
        PixelBufferRef pixels;
        bool bgra = false;
        bool held = false;     // dequeued by the node, not queued since
        bool lent = false;     // handed to a capture to be written into
    };

    // Gives a buffer the stream has just made its memory; false when it cannot be had.
    bool add(pw_buffer* buffer, const VideoFormat& format);
    void remove(pw_buffer* buffer);

    // A buffer of at least `bytes` that the node holds and nobody else refers to, dequeued from the stream when none
    // is at hand. Buffers made for an earlier format may be smaller until the stream replaces them: they are kept
    // back, not handed out.
    Slot* takeFree(pw_stream* stream, std::size_t bytes);
    // The slot whose pixels these are, or nothing.
    Slot* find(const PixelBuffer* pixels);
    // Hands the buffer, filled up to `size` bytes with rows of `stride`, to the consumers.
    void queue(pw_stream* stream, Slot& slot, std::size_t size, std::size_t stride, std::uint64_t sequence);

private:
    std::vector<std::unique_ptr<Slot>> slots_;
};

}  // namespace kestrova::platform::pipewire
