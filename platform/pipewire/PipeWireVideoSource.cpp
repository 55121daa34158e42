#include "PipeWireVideoSource.hpp"

#include <cstring>
#include <ctime>
#include <string>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace kestrova::platform::pipewire {

namespace {

// Offered until the first frame tells the real size.
constexpr std::uint32_t kInitialWidth = 1280;
constexpr std::uint32_t kInitialHeight = 720;
// Larger frames are dropped: their byte counts would no longer fit PipeWire's 32-bit buffer sizes.
constexpr std::uint32_t kLargestSide = 16384;
// Enough for the consumer to hold one frame while the next is filled and another is on its way.
constexpr int kBuffers = 4;
constexpr int kFewestBuffers = 2;
constexpr int kMostBuffers = 8;
constexpr std::uint32_t kMaxFramesPerSecond = 60;

// The one format the node offers: BGRA of a fixed size, at a variable rate of at most 60 frames per second.
const spa_pod* buildFormat(spa_pod_builder& builder, std::uint32_t width, std::uint32_t height) {
    spa_rectangle size{width, height};
    spa_fraction variable{0, 1};
    spa_fraction fastest{kMaxFramesPerSecond, 1};
    spa_fraction slowest{1, 1};
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&builder,
                        SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
                        SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_BGRA),
                        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
                        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variable),
                        SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&fastest, &slowest, &fastest),
                        0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

const spa_pod* buildBuffers(spa_pod_builder& builder, std::uint32_t width, std::uint32_t height) {
    const int stride = static_cast<int>(width * 4);
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_add(&builder,
                        SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(kBuffers, kFewestBuffers, kMostBuffers),
                        SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
                        SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * static_cast<int>(height)),
                        SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride),
                        SPA_PARAM_BUFFERS_dataType,
                        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)),
                        0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

const spa_pod* buildHeaderMeta(spa_pod_builder& builder) {
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_add(&builder,
                        SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                        SPA_PARAM_META_size, SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header))),
                        0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

struct PipeWireVideoSource::Listener {
    PipeWireVideoSource* owner = nullptr;
    spa_hook hook{};

    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format) return;
        auto* owner = static_cast<Listener*>(data)->owner;
        spa_video_info_raw info{};
        if (param == nullptr || spa_format_video_raw_parse(param, &info) < 0) {
            owner->formatChanged(0, 0);
            return;
        }
        owner->formatChanged(info.size.width, info.size.height);
    }

    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
        if (state == PW_STREAM_STATE_STREAMING) static_cast<Listener*>(data)->owner->resendLast();
    }

    static const pw_stream_events& events() {
        static const pw_stream_events table = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.param_changed = &onParamChanged;
            e.state_changed = &onStateChanged;
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
                                                                 std::string_view name) {
    if (!connection) return nullptr;
    std::shared_ptr<PipeWireVideoSource> source(new PipeWireVideoSource(std::move(connection)));
    const std::string nodeName(name);
    // What other programs look for when they list cameras and video sources.
    pw_properties* properties = pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE, "Video",
                                                  PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                                                  PW_KEY_NODE_NAME, nodeName.c_str(), PW_KEY_NODE_DESCRIPTION,
                                                  nodeName.c_str(), nullptr);

    PipeWireConnection::Lock lock(*source->connection_);
    source->stream_ = pw_stream_new(source->connection_->core(), nodeName.c_str(), properties);
    if (source->stream_ == nullptr) return nullptr;
    pw_stream_add_listener(source->stream_, &source->listener_->hook, &Listener::events(), source->listener_.get());
    // A resent frame may find no buffer yet, right after a consumer arrived: it is tried again, on the loop.
    source->retry_ = pw_loop_add_timer(
        pw_thread_loop_get_loop(source->connection_->loop()),
        [](void* data, std::uint64_t) {
            auto* self = static_cast<PipeWireVideoSource*>(data);
            const bool streaming = pw_stream_get_state(self->stream_, nullptr) == PW_STREAM_STATE_STREAMING;
            if (!streaming || self->sendLast()) self->retryTimer(false);
        },
        source.get());

    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[] = {buildFormat(builder, kInitialWidth, kInitialHeight)};
    source->offeredWidth_ = kInitialWidth;
    source->offeredHeight_ = kInitialHeight;
    // The node drives the graph: a frame is processed when it is published.
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS);
    if (pw_stream_connect(source->stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) != 0) return nullptr;
    return source;
}

PipeWireVideoSource::~PipeWireVideoSource() {
    if (stream_ == nullptr) return;
    PipeWireConnection::Lock lock(*connection_);
    if (retry_ != nullptr) pw_loop_destroy_source(pw_thread_loop_get_loop(connection_->loop()), retry_);
    spa_hook_remove(&listener_->hook);
    pw_stream_destroy(stream_);
}

void PipeWireVideoSource::offerSize(std::uint32_t width, std::uint32_t height) {
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[] = {buildFormat(builder, width, height)};
    offeredWidth_ = width;
    offeredHeight_ = height;
    pw_stream_update_params(stream_, params, 1);
}

void PipeWireVideoSource::formatChanged(std::uint32_t width, std::uint32_t height) {
    formatWidth_ = width;
    formatHeight_ = height;
    if (width == 0 || height == 0) return;
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[] = {buildBuffers(builder, width, height), buildHeaderMeta(builder)};
    pw_stream_update_params(stream_, params, 2);
    // A size agreed while already streaming: the frame that asked for it was dropped, so send it now.
    if (pw_stream_get_state(stream_, nullptr) == PW_STREAM_STATE_STREAMING) resendLast();
}

void PipeWireVideoSource::resendLast() {
    if (!sendLast()) retryTimer(true);
}

void PipeWireVideoSource::retryTimer(bool armed) {
    if (retry_ == nullptr) return;
    timespec every{0, armed ? 50'000'000 : 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(connection_->loop()), retry_, &every, &every, false);
}

void PipeWireVideoSource::publish(const PixelBufferRef& frame, PixelRect region, bool flipped) {
    if (!frame || region.width == 0 || region.height == 0 || region.width > kLargestSide ||
        region.height > kLargestSide) {
        return;
    }
    if (region.x > frame->width() || frame->width() - region.x < region.width || region.y > frame->height() ||
        frame->height() - region.y < region.height) {
        return;
    }
    // The lock keeps the loop from renegotiating, and so from freeing the buffer, while it is being filled.
    PipeWireConnection::Lock lock(*connection_);
    last_ = {frame, region, flipped};
    const pw_stream_state state = pw_stream_get_state(stream_, nullptr);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) return;
    if (region.width != offeredWidth_ || region.height != offeredHeight_) {
        offerSize(region.width, region.height);
        return;
    }
    if (sendLast()) retryTimer(false);
}

bool PipeWireVideoSource::sendLast() {
    if (!last_.frame) return true;
    const PixelBuffer& frame = *last_.frame;
    const PixelRect region = last_.region;
    const bool flipped = last_.flipped;
    const pw_stream_state state = pw_stream_get_state(stream_, nullptr);
    if (state != PW_STREAM_STATE_STREAMING || region.width != formatWidth_ || region.height != formatHeight_) {
        return false;
    }

    pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
    if (buffer == nullptr) return false;
    spa_buffer* spaBuffer = buffer->buffer;
    spa_data& data = spaBuffer->datas[0];
    const std::size_t rowBytes = std::size_t{region.width} * 4;
    const std::size_t byteCount = rowBytes * region.height;
    if (data.data == nullptr || data.chunk == nullptr || data.maxsize < byteCount) {
        // Handed back empty: consumers skip a buffer whose chunk holds nothing.
        if (data.chunk != nullptr) data.chunk->size = 0;
        pw_stream_queue_buffer(stream_, buffer);
        return false;
    }

    // Consumers map each stream buffer once, when buffers are agreed, so the frame's own memory cannot travel in
    // its place: one copy into the buffer, straight when the rows line up.
    auto* target = static_cast<std::uint8_t*>(data.data);
    const std::uint8_t* source = frame.bytes() + std::size_t{region.y} * frame.bytesPerRow() + region.x * 4;
    if (!flipped && frame.bytesPerRow() == rowBytes) {
        std::memcpy(target, source, byteCount);
    } else {
        for (std::uint32_t row = 0; row < region.height; ++row) {
            const std::uint32_t from = flipped ? region.height - 1 - row : row;
            std::memcpy(target + row * rowBytes, source + from * frame.bytesPerRow(), rowBytes);
        }
    }
    data.chunk->offset = 0;
    data.chunk->size = static_cast<std::uint32_t>(byteCount);
    data.chunk->stride = static_cast<std::int32_t>(rowBytes);
    data.chunk->flags = 0;
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(spaBuffer, SPA_META_Header, sizeof(spa_meta_header)))) {
        header->flags = 0;
        header->offset = 0;
        header->pts = monotonicNanoseconds();
        header->dts_offset = 0;
        header->seq = sequence_++;
    }
    pw_stream_queue_buffer(stream_, buffer);
    pw_stream_trigger_process(stream_);
    return true;
}

void PipeWireVideoSource::stop() {
    if (stream_ == nullptr) return;
    PipeWireConnection::Lock lock(*connection_);
    last_ = {};
    retryTimer(false);
    pw_stream_disconnect(stream_);
}

}  // namespace kestrova::platform::pipewire
