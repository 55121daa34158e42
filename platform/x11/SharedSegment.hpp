#pragma once

// Memory the X server writes pictures into: a memfd attached as an MIT-SHM segment, grown on demand, or a frame's
// own memfd, attached while the frame lives. Server resources die with the connection.

#include "ScreenCapture.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <xcb/shm.h>

namespace kestrova::platform::x11 {

class SharedSegment {
public:
    SharedSegment() = default;
    ~SharedSegment() { unmap(); }
    SharedSegment(const SharedSegment&) = delete;
    SharedSegment& operator=(const SharedSegment&) = delete;

    // Room for at least that many bytes; false when memory or the server refuses.
    bool reserve(xcb_connection_t* c, std::size_t bytes);
    xcb_shm_seg_t id() const { return segment_; }
    const std::uint8_t* data() const { return data_; }

private:
    void unmap();

    int fd_ = -1;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    xcb_shm_seg_t segment_ = 0;
};

// Frames the X server writes into directly: each frame's memfd is attached once, as a segment of its own, and
// detached once the frame is gone.
class AttachedFrames {
public:
    // The segment over the frame's memory; 0 when the server refuses it, and from then on for every frame.
    xcb_shm_seg_t segmentFor(xcb_connection_t* c, const PixelBufferRef& frame);

private:
    struct Entry {
        std::weak_ptr<PixelBuffer> frame;
        const PixelBuffer* key = nullptr;
        xcb_shm_seg_t segment = 0;
    };
    std::vector<Entry> entries_;
    bool refused_ = false;
};

}  // namespace kestrova::platform::x11
