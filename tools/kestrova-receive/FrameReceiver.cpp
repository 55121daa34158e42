#include "FrameReceiver.hpp"

#include "pipewire/StreamFormat.hpp"

#include <array>
#include <utility>

#include <pipewire/pipewire.h>
#include <spa/pod/builder.h>

namespace kestrova::receive {

using platform::pipewire::PipeWireConnection;

namespace {

// The frames exactly as the node holds them.
constexpr std::array<platform::pipewire::PixelLayout, 1> kReceivedLayouts{platform::pipewire::PixelLayout::BGRA};

}  // namespace

struct FrameReceiver::Listener {
    FrameReceiver* owner = nullptr;
    spa_hook hook{};

    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format) return;
        const auto format = platform::pipewire::agreedFormat(param);
        static_cast<Listener*>(data)->owner->formatChanged(format ? format->width : 0, format ? format->height : 0);
    }

    static void onProcess(void* data) { static_cast<Listener*>(data)->owner->process(); }

    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char*) {
        if (state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && old != state)) {
            static_cast<Listener*>(data)->owner->failed_ = true;
        }
    }

    static const pw_stream_events& events() {
        static const pw_stream_events table = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.param_changed = &onParamChanged;
            e.process = &onProcess;
            e.state_changed = &onStateChanged;
            return e;
        }();
        return table;
    }
};

FrameReceiver::FrameReceiver(std::shared_ptr<PipeWireConnection> connection, FrameHandler handler)
    : connection_(std::move(connection)), handler_(std::move(handler)), listener_(std::make_unique<Listener>()) {
    listener_->owner = this;
}

std::unique_ptr<FrameReceiver> FrameReceiver::connect(const std::string& target, FrameHandler handler,
                                                      std::chrono::milliseconds bound) {
    auto connection = PipeWireConnection::open(bound);
    if (!connection) return nullptr;
    std::unique_ptr<FrameReceiver> receiver(new FrameReceiver(std::move(connection), std::move(handler)));
    // Otherwise the session manager links a stream whose target is missing to any other video source, and the
    // frames received would not be the target's: WirePlumber 0.4 holds back on dont-reconnect, 0.5 on
    // dont-fallback (which has no key macro in 0.3's headers).
    pw_properties* properties =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                          PW_KEY_TARGET_OBJECT, target.c_str(), PW_KEY_NODE_DONT_RECONNECT, "true",
                          "node.dont-fallback", "true", nullptr);

    PipeWireConnection::Lock lock(*receiver->connection_);
    receiver->stream_ = pw_stream_new(receiver->connection_->core(), "kestrova-receive", properties);
    if (receiver->stream_ == nullptr) return nullptr;
    pw_stream_add_listener(receiver->stream_, &receiver->listener_->hook, &Listener::events(),
                           receiver->listener_.get());
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[] = {platform::pipewire::buildAnyFormat(builder, kReceivedLayouts)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
    if (pw_stream_connect(receiver->stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) != 0) return nullptr;
    return receiver;
}

void FrameReceiver::holdFirst(std::function<bool(const FrameView&)> accept) {
    PipeWireConnection::Lock lock(*connection_);
    accept_ = std::move(accept);
}

std::optional<FrameView> FrameReceiver::held() const {
    PipeWireConnection::Lock lock(*connection_);
    return heldBuffer_ != nullptr ? std::optional(heldView_) : std::nullopt;
}

void FrameReceiver::release() {
    PipeWireConnection::Lock lock(*connection_);
    accept_ = nullptr;
    if (heldBuffer_ != nullptr) pw_stream_queue_buffer(stream_, std::exchange(heldBuffer_, nullptr));
}

FrameReceiver::~FrameReceiver() {
    if (stream_ == nullptr) return;
    PipeWireConnection::Lock lock(*connection_);
    spa_hook_remove(&listener_->hook);
    pw_stream_destroy(stream_);
}

void FrameReceiver::formatChanged(std::uint32_t width, std::uint32_t height) {
    width_ = width;
    height_ = height;
    if (width == 0 || height == 0) return;
    std::uint8_t storage[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    // Buffers the receiver can read in place, with the header that carries the sender's frame count.
    const spa_pod* params[] = {platform::pipewire::buildBuffers(builder, nullptr),
                               platform::pipewire::buildHeaderMeta(builder)};
    pw_stream_update_params(stream_, params, 2);
}

void FrameReceiver::process() {
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_)) {
        const spa_buffer* spaBuffer = buffer->buffer;
        const spa_data& data = spaBuffer->datas[0];
        const std::size_t rowBytes = std::size_t{width_} * 4;
        // Empty, corrupted or short buffers carry no frame.
        const bool usable = width_ != 0 && height_ != 0 && data.data != nullptr && data.chunk != nullptr &&
                            (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0 && data.chunk->size != 0;
        if (usable) {
            const std::size_t stride = data.chunk->stride > 0 ? std::size_t(data.chunk->stride) : rowBytes;
            const std::size_t offset = data.chunk->offset % data.maxsize;
            const std::size_t needed = stride * (height_ - 1) + rowBytes;
            if (stride >= rowBytes && data.chunk->size >= needed && offset + needed <= data.maxsize) {
                FrameView view;
                view.width = width_;
                view.height = height_;
                view.bytesPerRow = stride;
                view.pixels = static_cast<const std::uint8_t*>(data.data) + offset;
                if (const auto* header = static_cast<const spa_meta_header*>(
                        spa_buffer_find_meta_data(spaBuffer, SPA_META_Header, sizeof(spa_meta_header)))) {
                    view.sequence = header->seq;
                    view.sentAt = header->pts;
                }
                handler_(view);
                if (accept_ && heldBuffer_ == nullptr && accept_(view)) {
                    heldBuffer_ = buffer;
                    heldView_ = view;
                    continue;
                }
            }
        }
        pw_stream_queue_buffer(stream_, buffer);
    }
}

}  // namespace kestrova::receive
