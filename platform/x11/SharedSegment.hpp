#pragma once

// Memory the X server writes pictures into: a memfd attached as an MIT-SHM segment, grown on demand. Server
// resources die with the connection; the memory is the segment's own.

#include <cstddef>
#include <cstdint>

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

}  // namespace kestrova::platform::x11
