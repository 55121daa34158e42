#include "StreamBuffers.hpp"

#include <algorithm>
#include <ctime>

#include <fcntl.h>

#include <pipewire/pipewire.h>

namespace kestrova::platform::pipewire {

namespace {

std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Only the slot refers to the pixels: no capture writes them and no publication still reads them.
bool exclusive(const StreamBuffers::Slot& slot) { return !slot.pixels || slot.pixels.use_count() == 1; }

bool holds(const StreamBuffers::Slot& slot, std::size_t bytes) {
    return slot.buffer->buffer->datas[0].maxsize >= bytes && slot.pixels && slot.pixels->byteCount() >= bytes;
}

}  // namespace

bool StreamBuffers::add(pw_buffer* buffer, const VideoFormat& format) {
    spa_data& data = buffer->buffer->datas[0];
    const FrameLayout padded = frameLayout(format, RowPadding::FourBytes);
    const std::size_t size = data.maxsize > 0 ? data.maxsize : padded.size;
    const std::size_t stride = std::size_t{format.width} * 4;
    const bool bgra = format.layout == PixelLayout::BGRA || format.layout == PixelLayout::BGRx;
    // A BGRA frame of the agreed size, or for YUV the rows of BGRA that hold the planes' bytes.
    const auto rows = static_cast<std::uint32_t>(bgra ? format.height : (size + stride - 1) / stride);
    auto pixels = PixelBuffer::create(format.width, rows);
    if (!pixels || pixels->byteCount() < size) return false;
    // Consumers map the memfd at this size: one that shrank it would leave the others, and the capture writing
    // into it, with pages past its end.
    if (fcntl(pixels->fd(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) != 0) return false;

    auto slot = std::make_unique<Slot>();
    slot->buffer = buffer;
    slot->pixels = std::move(pixels);
    slot->bgra = bgra && stride == padded.planes[0].stride;
    data.type = SPA_DATA_MemFd;
    data.flags = SPA_DATA_FLAG_READWRITE;
    data.fd = slot->pixels->fd();
    data.mapoffset = static_cast<std::uint32_t>(slot->pixels->fdOffset());
    data.maxsize = static_cast<std::uint32_t>(size);
    data.data = slot->pixels->bytes();
    buffer->user_data = slot.get();
    slots_.push_back(std::move(slot));
    return true;
}

// The memory lives on while a capture still refers to it; its frame then goes out by copy.
void StreamBuffers::remove(pw_buffer* buffer) {
    std::erase_if(slots_, [buffer](const std::unique_ptr<Slot>& slot) { return slot->buffer == buffer; });
    buffer->user_data = nullptr;
}

StreamBuffers::Slot* StreamBuffers::takeFree(pw_stream* stream, std::size_t bytes) {
    for (const auto& slot : slots_) {
        if (slot->held && exclusive(*slot) && holds(*slot, bytes)) {
            slot->lent = false;
            return slot.get();
        }
    }
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream)) {
        auto* slot = static_cast<Slot*>(buffer->user_data);
        if (slot == nullptr) continue;
        slot->held = true;
        slot->lent = false;
        if (exclusive(*slot) && holds(*slot, bytes)) return slot;
    }
    return nullptr;
}

StreamBuffers::Slot* StreamBuffers::find(const PixelBuffer* pixels) {
    const auto it = std::find_if(slots_.begin(), slots_.end(),
                                 [pixels](const std::unique_ptr<Slot>& slot) { return slot->pixels.get() == pixels; });
    return it == slots_.end() ? nullptr : it->get();
}

void StreamBuffers::queue(pw_stream* stream, Slot& slot, std::size_t size, std::size_t stride,
                          std::uint64_t sequence) {
    spa_buffer* buffer = slot.buffer->buffer;
    spa_data& data = buffer->datas[0];
    data.chunk->offset = 0;
    data.chunk->size = static_cast<std::uint32_t>(size);
    data.chunk->stride = static_cast<std::int32_t>(stride);
    data.chunk->flags = 0;
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
        header->flags = 0;
        header->offset = 0;
        header->pts = monotonicNanoseconds();
        header->dts_offset = 0;
        header->seq = sequence;
    }
    slot.held = false;
    slot.lent = false;
    pw_stream_queue_buffer(stream, slot.buffer);
    pw_stream_trigger_process(stream);
}

}  // namespace kestrova::platform::pipewire
