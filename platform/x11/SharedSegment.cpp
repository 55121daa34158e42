#include "SharedSegment.hpp"

#include "Connection.hpp"

#include <sys/mman.h>
#include <unistd.h>

namespace kestrova::platform::x11 {

namespace {

// The memfd as a new segment, writable by the server; 0 when the server refuses it.
xcb_shm_seg_t attach(xcb_connection_t* c, int fd) {
    // libxcb closes the descriptor it sends, so it gets a copy.
    const int sent = dup(fd);
    if (sent < 0) return 0;
    const xcb_shm_seg_t segment = xcb_generate_id(c);
    Reply<xcb_generic_error_t> error(xcb_request_check(c, xcb_shm_attach_fd_checked(c, segment, sent, 0)));
    return error ? 0 : segment;
}

}  // namespace

bool SharedSegment::reserve(xcb_connection_t* c, std::size_t bytes) {
    if (bytes <= size_) return true;
    if (segment_ != 0) xcb_shm_detach(c, segment_);
    segment_ = 0;
    unmap();
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t size = (bytes + page - 1) / page * page;
    fd_ = memfd_create("kestrova-x11-capture", MFD_CLOEXEC);
    if (fd_ < 0 || ftruncate(fd_, static_cast<off_t>(size)) != 0) return false;
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (mapping == MAP_FAILED) return false;
    data_ = static_cast<std::uint8_t*>(mapping);
    size_ = size;
    segment_ = attach(c, fd_);
    return segment_ != 0;
}

xcb_shm_seg_t AttachedFrames::segmentFor(xcb_connection_t* c, const PixelBufferRef& frame) {
    std::erase_if(entries_, [c](const Entry& entry) {
        if (!entry.frame.expired()) return false;
        xcb_shm_detach(c, entry.segment);
        return true;
    });
    if (refused_ || !frame || frame->fd() < 0) return 0;
    for (const Entry& entry : entries_) {
        if (entry.key == frame.get()) return entry.segment;
    }
    const xcb_shm_seg_t segment = attach(c, frame->fd());
    if (segment == 0) {
        refused_ = true;
        return 0;
    }
    entries_.push_back({frame, frame.get(), segment});
    return segment;
}

void SharedSegment::unmap() {
    if (data_ != nullptr) munmap(data_, size_);
    if (fd_ >= 0) close(fd_);
    data_ = nullptr;
    size_ = 0;
    fd_ = -1;
}

}  // namespace kestrova::platform::x11
