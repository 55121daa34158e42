#include "PipeWireVideoSource.hpp"

#include "FrameConversion.hpp"

#include <string>
#include <utility>

#include <pipewire/pipewire.h>
#include <spa/pod/builder.h>

namespace kestrova::platform::pipewire {

namespace {

// Room for every parameter the node sends at once.
constexpr std::size_t kParamBytes = 2048;
// A new consumer may not take the first frame sent to it (its side of the link is still being set up), and a window
// that does not change sends no other: the last frame goes to it a few times, a short while apart.
constexpr int kResends = 4;
constexpr long kResendIntervalNs = 50'000'000;

// Every offered layout at one size, the node's preference first.
std::size_t buildOffer(spa_pod_builder& builder, std::uint32_t width, std::uint32_t height,
                       const spa_pod* (&params)[kOfferedLayouts.size()]) {
    std::size_t count = 0;
    for (const PixelLayout layout : kOfferedLayouts) {
        params[count++] = buildOfferedFormat(builder, {layout, width, height});
    }
    return count;
}

// A size the node can offer and send.
bool sendableSize(std::uint32_t width, std::uint32_t height) {
    return width != 0 && height != 0 && width <= kLargestSide && height <= kLargestSide;
}

}  // namespace

bool publishable(const PixelBufferRef& frame) { return frame && sendableSize(frame->width(), frame->height()); }

struct PipeWireVideoSource::Listener {
    PipeWireVideoSource* owner = nullptr;
    spa_hook hook{};

    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
        if (id == SPA_PARAM_Format) static_cast<Listener*>(data)->owner->formatChanged(agreedFormat(param));
    }

    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
        static_cast<Listener*>(data)->owner->stateChanged(state);
    }

    static void onAddBuffer(void* data, pw_buffer* buffer) {
        auto* owner = static_cast<Listener*>(data)->owner;
        if (owner->format_) owner->buffers_.add(buffer, *owner->format_);
    }

    static void onRemoveBuffer(void* data, pw_buffer* buffer) {
        static_cast<Listener*>(data)->owner->buffers_.remove(buffer);
    }

    static const pw_stream_events& events() {
        static const pw_stream_events table = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.param_changed = &onParamChanged;
            e.state_changed = &onStateChanged;
            e.add_buffer = &onAddBuffer;
            e.remove_buffer = &onRemoveBuffer;
            return e;
        }();
        return table;
    }
};

PipeWireVideoSource::PipeWireVideoSource(std::shared_ptr<PipeWireConnection> connection)
    : connection_(std::move(connection)), listener_(std::make_unique<Listener>()) {
    listener_->owner = this;
}

std::shared_ptr<PipeWireVideoSource> PipeWireVideoSource::create(std::shared_ptr<PipeWireConnection> connection,
                                                                 std::string_view name, std::uint32_t width,
                                                                 std::uint32_t height, std::chrono::milliseconds bound,
                                                                 LostHandler onLost) {
    if (!connection || !sendableSize(width, height)) return nullptr;
    std::shared_ptr<PipeWireVideoSource> source(new PipeWireVideoSource(std::move(connection)));
    source->onLost_ = std::move(onLost);
    const std::string nodeName(name);
    // What other programs look for when they list cameras and video sources.
    pw_properties* properties = pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE, "Video",
                                                  PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                                                  PW_KEY_NODE_NAME, nodeName.c_str(), PW_KEY_NODE_DESCRIPTION,
                                                  nodeName.c_str(), nullptr);

    PipeWireConnection::Lock lock(*source->connection_);
    pw_thread_loop* loop = source->connection_->loop();
    source->stream_ = pw_stream_new(source->connection_->core(), nodeName.c_str(), properties);
    if (source->stream_ == nullptr) return nullptr;
    pw_stream_add_listener(source->stream_, &source->listener_->hook, &Listener::events(), source->listener_.get());
    // A resent frame may find no buffer yet, right after a consumer arrived: it is tried again, on the loop.
    source->retry_ = pw_loop_add_timer(
        pw_thread_loop_get_loop(loop),
        [](void* data, std::uint64_t) {
            auto* self = static_cast<PipeWireVideoSource*>(data);
            const bool streaming = pw_stream_get_state(self->stream_, nullptr) == PW_STREAM_STATE_STREAMING;
            if (streaming && self->sendLast()) --self->resendsLeft_;
            if (!streaming || self->resendsLeft_ <= 0) self->retryTimer(false);
        },
        source.get());

    std::uint8_t storage[kParamBytes];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[kOfferedLayouts.size()];
    const auto count = static_cast<std::uint32_t>(buildOffer(builder, width, height, params));
    source->offeredWidth_ = width;
    source->offeredHeight_ = height;
    // The node drives the graph: a frame is processed when it is published. It makes its buffers itself, so that
    // they can serve as the capture's pixel buffers.
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS);
    if (pw_stream_connect(source->stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, count) != 0) return nullptr;

    // The node exists once the daemon has made it; a daemon that refuses it, or hangs, leaves no source.
    source->connection_->waitOnLoop([&] { return source->ready_ || source->failed_; }, bound);
    if (!source->ready_ || source->failed_) return nullptr;
    return source;
}

PipeWireVideoSource::~PipeWireVideoSource() {
    if (stream_ == nullptr) return;
    PipeWireConnection::Lock lock(*connection_);
    if (retry_ != nullptr) pw_loop_destroy_source(pw_thread_loop_get_loop(connection_->loop()), retry_);
    spa_hook_remove(&listener_->hook);
    pw_stream_destroy(stream_);
}

void PipeWireVideoSource::stateChanged(int state) {
    switch (state) {
        case PW_STREAM_STATE_PAUSED:
            ready_ = true;
            if (std::exchange(offerWhenPaused_, false)) {
                sendOffer();
                pw_stream_set_active(stream_, true);
            }
            break;
        case PW_STREAM_STATE_STREAMING:
            ready_ = true;
            resendLast();
            break;
        case PW_STREAM_STATE_ERROR:
        case PW_STREAM_STATE_UNCONNECTED:
            if (stopped_ || failed_) return;
            failed_ = true;
            if (ready_ && onLost_) onLost_();
            break;
        default: return;
    }
    pw_thread_loop_signal(connection_->loop(), false);
}

void PipeWireVideoSource::offerSize(std::uint32_t width, std::uint32_t height) {
    offeredWidth_ = width;
    offeredHeight_ = height;
    // A new offer puts every running link back to negotiating while it is still active. On PipeWire 0.3.65 the
    // first link to finish lets the daemon idle the other consumers, which moves their links straight to paused
    // and active again: those consumers never get the new format or buffers. So a streaming node goes inactive
    // first; the daemon pauses it and deactivates its links, and the offer goes out once it has (stateChanged),
    // with the latest size.
    if (pw_stream_get_state(stream_, nullptr) == PW_STREAM_STATE_STREAMING) {
        offerWhenPaused_ = true;
        pw_stream_set_active(stream_, false);
        return;
    }
    if (!offerWhenPaused_) sendOffer();
}

void PipeWireVideoSource::sendOffer() {
    std::uint8_t storage[kParamBytes];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[kOfferedLayouts.size()];
    const auto count = static_cast<std::uint32_t>(buildOffer(builder, offeredWidth_, offeredHeight_, params));
    pw_stream_update_params(stream_, params, count);
}

void PipeWireVideoSource::formatChanged(std::optional<VideoFormat> format) {
    format_ = format;
    if (!format) return;
    // Padded rows first, for consumers that say nothing about them; unpadded for those that ask for them.
    const FrameLayout padded = frameLayout(*format, RowPadding::FourBytes);
    const FrameLayout unpadded = frameLayout(*format, RowPadding::None);
    std::uint8_t storage[kParamBytes];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[] = {buildHeaderMeta(builder), buildBuffers(builder, &padded),
                               buildBuffers(builder, &unpadded)};
    pw_stream_update_params(stream_, params, padded.size == unpadded.size ? 2 : 3);
    // A format agreed while already streaming: the frame that asked for it was dropped, so send it now.
    if (pw_stream_get_state(stream_, nullptr) == PW_STREAM_STATE_STREAMING) resendLast();
}

void PipeWireVideoSource::resendLast() {
    resendsLeft_ = kResends;
    if (sendLast()) --resendsLeft_;
    retryTimer(true);
}

void PipeWireVideoSource::retryTimer(bool armed) {
    if (retry_ == nullptr) return;
    if (!armed) resendsLeft_ = 0;
    timespec every{0, armed ? kResendIntervalNs : 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(connection_->loop()), retry_, &every, &every, false);
}

void PipeWireVideoSource::publish(const PixelBufferRef& frame) {
    if (!publishable(frame)) return;
    // The lock keeps the loop from renegotiating, and so from freeing the buffer, while it is being filled.
    PipeWireConnection::Lock lock(*connection_);
    last_ = frame;
    if (failed_ || stopped_) return;
    if (frame->width() != offeredWidth_ || frame->height() != offeredHeight_) {
        offerSize(frame->width(), frame->height());
        return;
    }
    if (queueLastInPlace() || sendLast()) retryTimer(false);
}

PixelBufferRef PipeWireVideoSource::acquireFrameBuffer(std::uint32_t width, std::uint32_t height) {
    PipeWireConnection::Lock lock(*connection_);
    if (failed_ || stopped_ || !format_ || format_->width != width || format_->height != height ||
        pw_stream_get_state(stream_, nullptr) != PW_STREAM_STATE_STREAMING) {
        return nullptr;
    }
    StreamBuffers::Slot* slot = buffers_.takeFree(stream_, std::size_t{width} * height * 4);
    // A buffer made for the format before this one has another size, until the stream replaces it.
    if (slot == nullptr || !slot->bgra || slot->pixels->width() != width || slot->pixels->height() != height) {
        return nullptr;
    }
    slot->lent = true;
    return slot->pixels;
}

bool PipeWireVideoSource::queueLastInPlace() {
    StreamBuffers::Slot* slot = buffers_.find(last_.get());
    if (slot == nullptr || !slot->held || !slot->lent || !slot->bgra || !format_) return false;
    const PixelBuffer& frame = *last_;
    if (frame.width() != format_->width || frame.height() != format_->height ||
        pw_stream_get_state(stream_, nullptr) != PW_STREAM_STATE_STREAMING) {
        return false;
    }
    buffers_.queue(stream_, *slot, frame.byteCount(), frame.bytesPerRow(), sequence_++);
    return true;
}

bool PipeWireVideoSource::sendLast() {
    if (!last_) return true;
    const PixelBuffer& frame = *last_;
    const pw_stream_state state = pw_stream_get_state(stream_, nullptr);
    if (state != PW_STREAM_STATE_STREAMING || !format_ || frame.width() != format_->width ||
        frame.height() != format_->height) {
        return false;
    }

    // Right after a new format is agreed the old buffers are still there until the new ones come: a frame of the
    // new format may not fit them, and would overrun the memory and show the consumer a chunk larger than its buffer.
    const FrameLayout unpadded = frameLayout(*format_, RowPadding::None);
    StreamBuffers::Slot* slot = buffers_.takeFree(stream_, unpadded.size);
    if (slot == nullptr) return false;
    // Which of the two buffer layouts the consumer agreed on shows in the buffers' size: only padded rows fill
    // the larger one.
    const std::size_t bufferSize = slot->buffer->buffer->datas[0].maxsize;
    const FrameLayout padded = frameLayout(*format_, RowPadding::FourBytes);
    const bool paddedFits = bufferSize >= padded.size && slot->pixels->byteCount() >= padded.size;
    const FrameLayout layout = paddedFits ? padded : unpadded;

    // A frame in memory of its own (no consumer yet when it was captured, a size being agreed, a YUV format) is
    // written once into the buffer, converted when the consumer asked for YUV.
    convertFrame({frame.bytes(), frame.bytesPerRow(), frame.width(), frame.height()}, *format_, layout,
                 slot->pixels->bytes());
    buffers_.queue(stream_, *slot, layout.size, layout.planes[0].stride, sequence_++);
    return true;
}

void PipeWireVideoSource::stop() {
    if (stream_ == nullptr) return;
    PipeWireConnection::Lock lock(*connection_);
    stopped_ = true;
    last_ = nullptr;
    retryTimer(false);
    pw_stream_disconnect(stream_);
}

}  // namespace kestrova::platform::pipewire
