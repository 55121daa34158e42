#pragma once

#include "ScreenCapture.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrova::platform {

// Reuses buffers of one size, so that a stream does not map fresh memory for every frame. A buffer goes back to
// the pool when its last reference is dropped, on whatever thread that happens; the pool may die first.
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
public:
    static std::shared_ptr<PixelBufferPool> create(std::uint32_t width, std::uint32_t height, std::size_t keep);
    // A free buffer, or a new one; nothing when memory is refused.
    PixelBufferRef acquire();
    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }

    struct BlockStore;

private:
    PixelBufferPool(std::uint32_t width, std::uint32_t height, std::size_t keep);
    void recycle(PixelBuffer* buffer);

    std::uint32_t width_;
    std::uint32_t height_;
    std::size_t keep_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<PixelBuffer>> free_;
    std::shared_ptr<BlockStore> blocks_;
};

}  // namespace kestrova::platform
