#include "PixelBufferPool.hpp"

#include <mutex>
#include <vector>

namespace kestrova::platform {

// Where the control blocks of a pool's handed-out references live: a block goes back here when its reference
// dies and serves the next one, so that handing out a buffer takes no new memory once the pool is warm. Every block
// is of the one size the pool's references need.
struct PixelBufferPool::BlockStore {
    std::mutex mutex;
    std::vector<void*> free;
    ~BlockStore() {
        for (void* block : free) ::operator delete(block);
    }
};

namespace {

template <class T>
struct RecyclingAllocator {
    using value_type = T;
    std::shared_ptr<PixelBufferPool::BlockStore> store;

    explicit RecyclingAllocator(std::shared_ptr<PixelBufferPool::BlockStore> s) : store(std::move(s)) {}
    template <class U>
    RecyclingAllocator(const RecyclingAllocator<U>& other) : store(other.store) {}

    T* allocate(std::size_t n) {
        {
            std::lock_guard lock(store->mutex);
            if (n == 1 && !store->free.empty()) {
                void* block = store->free.back();
                store->free.pop_back();
                return static_cast<T*>(block);
            }
        }
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* block, std::size_t n) {
        if (n == 1) {
            std::lock_guard lock(store->mutex);
            store->free.push_back(block);
            return;
        }
        ::operator delete(block);
    }
    template <class U>
    bool operator==(const RecyclingAllocator<U>& other) const {
        return store == other.store;
    }
};

}  // namespace

PixelBufferPool::PixelBufferPool(std::uint32_t width, std::uint32_t height, std::size_t keep)
    : width_(width), height_(height), keep_(keep), blocks_(std::make_shared<BlockStore>()) {
    free_.reserve(keep);
}

std::shared_ptr<PixelBufferPool> PixelBufferPool::create(std::uint32_t width, std::uint32_t height,
                                                         std::size_t keep) {
    return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(width, height, keep));
}

PixelBufferRef PixelBufferPool::acquire() {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            buffer = std::move(free_.back());
            free_.pop_back();
        }
    }
    if (!buffer) buffer = PixelBuffer::allocate(width_, height_);
    if (!buffer) return nullptr;
    std::weak_ptr<PixelBufferPool> pool = weak_from_this();
    return PixelBufferRef(
        buffer.release(),
        [pool](PixelBuffer* released) {
            if (auto owner = pool.lock()) {
                owner->recycle(released);
            } else {
                delete released;
            }
        },
        RecyclingAllocator<PixelBuffer>(blocks_));
}

void PixelBufferPool::recycle(PixelBuffer* buffer) {
    std::unique_ptr<PixelBuffer> owned(buffer);
    std::lock_guard lock(mutex_);
    if (free_.size() < keep_) free_.push_back(std::move(owned));
}

}  // namespace kestrova::platform
