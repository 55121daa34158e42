#include "ScreenCapture.hpp"

#include <limits>

#include <sys/mman.h>
#include <unistd.h>

namespace kestrova::platform {

PixelBuffer::PixelBuffer(int fd, std::uint8_t* mapping, std::size_t mappedSize, std::uint32_t width,
                         std::uint32_t height, std::size_t stride, std::uint32_t pixelFormat)
    : fd_(fd),
      bytes_(mapping),
      mappedSize_(mappedSize),
      width_(width),
      height_(height),
      stride_(stride),
      pixelFormat_(pixelFormat) {}

PixelBuffer::~PixelBuffer() {
    if (bytes_ != nullptr) munmap(bytes_, mappedSize_);
    if (fd_ >= 0) close(fd_);
}

std::unique_ptr<PixelBuffer> PixelBuffer::allocate(std::uint32_t width, std::uint32_t height) {
    if (width == 0 || height == 0) return nullptr;
    const std::size_t stride = std::size_t{width} * 4;
    if (std::numeric_limits<std::size_t>::max() / stride < height) return nullptr;
    const std::size_t size = stride * height;
    if (size > static_cast<std::size_t>(std::numeric_limits<off_t>::max())) return nullptr;

    const int fd = memfd_create("kestrova-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return nullptr;
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        return nullptr;
    }
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    return std::unique_ptr<PixelBuffer>(
        new PixelBuffer(fd, static_cast<std::uint8_t*>(mapping), size, width, height, stride, kPixelFormatBGRA));
}

std::shared_ptr<PixelBuffer> PixelBuffer::create(std::uint32_t width, std::uint32_t height) {
    return allocate(width, height);
}

}  // namespace kestrova::platform
