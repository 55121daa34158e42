#include "PipeWireInput.hpp"

#include "Compositor.hpp"

#include <mutex>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

namespace kestrova::platform::kwin {

namespace {

constexpr std::uint32_t kLargestSide = 16384;

Error pipeWireLost() { return makeError(ErrorCode::connectionLost, "Se perdió la conexión con PipeWire"); }
Error streamEnded() {
    return makeError(ErrorCode::streamFailed, "El compositor dejó de enviar la imagen de la ventana capturada");
}

const spa_pod* buildFormat(spa_pod_builder& builder) {
    const spa_rectangle fallback{320, 240};
    const spa_rectangle smallest{1, 1};
    const spa_rectangle largest{kLargestSide, kLargestSide};
    const spa_fraction variable{0, 1};
    const spa_fraction fastest{1000, 1};
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&builder,
                        SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
                        SPA_FORMAT_VIDEO_format,
                        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_BGRx),
                        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&fallback, &smallest, &largest),
                        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&variable, &variable, &fastest),
                        0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

// Shared memory only: pictures in GPU memory would need a graphics context to read.
const spa_pod* buildBuffers(spa_pod_builder& builder) {
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_add(&builder, SPA_PARAM_BUFFERS_dataType,
                        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)), 0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

// Asks for the crop rectangle with each buffer: producers that cast one window into a larger picture say there
// where the window is.
const spa_pod* buildCropMeta(spa_pod_builder& builder) {
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
}

}  // namespace

struct PipeWireInput::Impl {
    PipeWireInput* owner = nullptr;
    pw_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreHook{};
    spa_hook streamHook{};
    spa_video_info_raw format{};
    bool negotiated = false;
    bool started = false;
    pw_buffer* held = nullptr;
    std::optional<PictureRegion> heldCrop;

    static void coreError(void* data, std::uint32_t id, int, int, const char*) {
        auto* self = static_cast<Impl*>(data);
        if (id == PW_ID_CORE && !self->owner->failure_) self->owner->failure_ = pipeWireLost();
    }

    static void stateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
        auto* self = static_cast<Impl*>(data);
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) self->started = true;
        const bool gone = state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && self->started);
        if (gone && !self->owner->failure_) self->owner->failure_ = streamEnded();
    }

    static void paramChanged(void* data, std::uint32_t id, const spa_pod* param) {
        auto* self = static_cast<Impl*>(data);
        if (id != SPA_PARAM_Format || param == nullptr) return;
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0 || info.size.width == 0 || info.size.height == 0 ||
            (info.format != SPA_VIDEO_FORMAT_BGRA && info.format != SPA_VIDEO_FORMAT_BGRx)) {
            self->negotiated = false;
            return;
        }
        if (self->negotiated && (info.size.width != self->format.size.width ||
                                 info.size.height != self->format.size.height)) {
            self->owner->resized_ = true;
        }
        self->format = info;
        self->negotiated = true;
        std::uint8_t storage[512];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* params[] = {buildBuffers(builder), buildCropMeta(builder)};
        pw_stream_update_params(self->stream, params, 2);
    }

    // Buffers go when the format changes (the held one with them, already freed: it must not be queued again).
    static void removeBuffer(void* data, pw_buffer* buffer) {
        auto* self = static_cast<Impl*>(data);
        if (self->held == buffer) self->held = nullptr;
    }

    static void process(void* data) {
        auto* self = static_cast<Impl*>(data);
        while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream)) self->owner->hold(buffer);
    }
};

PipeWireInput::PipeWireInput() : impl_(std::make_unique<Impl>()) { impl_->owner = this; }

std::variant<std::unique_ptr<PipeWireInput>, Error> PipeWireInput::connect(std::uint32_t node) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });

    std::unique_ptr<PipeWireInput> input(new PipeWireInput());
    Impl& impl = *input->impl_;
    impl.loop = pw_loop_new(nullptr);
    if (!impl.loop) return pipeWireLost();
    pw_loop_enter(impl.loop);
    impl.context = pw_context_new(impl.loop, nullptr, 0);
    if (impl.context) impl.core = pw_context_connect(impl.context, nullptr, 0);
    if (!impl.core) return makeError(ErrorCode::connectFailed, "No se puede conectar con PipeWire");
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = &Impl::coreError;
        return e;
    }();
    pw_core_add_listener(impl.core, &impl.coreHook, &coreEvents, &impl);

    impl.stream = pw_stream_new(impl.core, "kestrova-window-capture",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                  PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!impl.stream) return pipeWireLost();
    static const pw_stream_events streamEvents = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &Impl::stateChanged;
        e.param_changed = &Impl::paramChanged;
        e.remove_buffer = &Impl::removeBuffer;
        e.process = &Impl::process;
        return e;
    }();
    pw_stream_add_listener(impl.stream, &impl.streamHook, &streamEvents, &impl);
    std::uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[] = {buildFormat(builder)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
    if (pw_stream_connect(impl.stream, PW_DIRECTION_INPUT, node, flags, params, 1) < 0) {
        return makeError(ErrorCode::streamFailed, "PipeWire no aceptó la captura de la ventana");
    }
    return input;
}

PipeWireInput::~PipeWireInput() {
    Impl& impl = *impl_;
    if (impl.stream) {
        if (impl.held) pw_stream_queue_buffer(impl.stream, impl.held);
        pw_stream_destroy(impl.stream);
    }
    if (impl.core) {
        spa_hook_remove(&impl.coreHook);
        pw_core_disconnect(impl.core);
    }
    if (impl.context) pw_context_destroy(impl.context);
    if (impl.loop) {
        pw_loop_leave(impl.loop);
        pw_loop_destroy(impl.loop);
    }
}

int PipeWireInput::fd() const { return pw_loop_get_fd(impl_->loop); }

void PipeWireInput::dispatch() { pw_loop_iterate(impl_->loop, 0); }

void PipeWireInput::hold(pw_buffer* buffer) {
    Impl& impl = *impl_;
    const spa_data& plane = buffer->buffer->datas[0];
    // Buffers that carry no picture (a cursor-only update, a corrupted frame) go straight back.
    const spa_meta_header* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)));
    const bool corrupted = header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0;
    const std::size_t stride = plane.chunk ? static_cast<std::size_t>(plane.chunk->stride) : 0;
    const std::size_t needed = stride * impl.format.size.height;
    const auto* region = static_cast<const spa_meta_region*>(
        spa_buffer_find_meta_data(buffer->buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
    const CropReading crop = region ? cropOf(region->region.position.x, region->region.position.y,
                                             region->region.size.width, region->region.size.height,
                                             impl.format.size.width, impl.format.size.height)
                                    : CropReading{};
    const bool usable = impl.negotiated && !corrupted && !crop.invalid && plane.data && plane.chunk &&
                        plane.chunk->size > 0 &&
                        stride >= std::size_t{impl.format.size.width} * 4 &&
                        std::size_t{plane.chunk->offset} + needed <= plane.maxsize;
    if (!usable) {
        pw_stream_queue_buffer(impl.stream, buffer);
        return;
    }
    if (impl.held) pw_stream_queue_buffer(impl.stream, impl.held);
    impl.held = buffer;
    impl.heldCrop = crop.crop;
}

CropReading cropOf(std::int32_t x, std::int32_t y, std::uint32_t regionWidth, std::uint32_t regionHeight,
                   std::uint32_t width, std::uint32_t height) {
    // A producer that crops nothing may leave the region all zero.
    if (x == 0 && y == 0 && regionWidth == 0 && regionHeight == 0) return {};
    const bool inside = x >= 0 && y >= 0 && regionWidth > 0 && regionHeight > 0 &&
                        std::uint64_t(x) + regionWidth <= width && std::uint64_t(y) + regionHeight <= height;
    if (!inside) return CropReading{std::nullopt, true};
    return CropReading{PictureRegion{std::uint32_t(x), std::uint32_t(y), regionWidth, regionHeight}, false};
}

std::optional<InputFrame> PipeWireInput::newest() const {
    const Impl& impl = *impl_;
    if (!impl.held) return std::nullopt;
    const spa_data& plane = impl.held->buffer->datas[0];
    InputFrame frame;
    frame.pixels = static_cast<const std::uint8_t*>(plane.data) + plane.chunk->offset;
    frame.width = impl.format.size.width;
    frame.height = impl.format.size.height;
    frame.stride = static_cast<std::size_t>(plane.chunk->stride);
    frame.opaque = impl.format.format == SPA_VIDEO_FORMAT_BGRx;
    if (const auto& crop = impl.heldCrop) {
        frame.pixels += crop->y * frame.stride + std::size_t{crop->x} * 4;
        frame.width = crop->width;
        frame.height = crop->height;
    }
    return frame;
}

void PipeWireInput::release() {
    if (!impl_->held) return;
    pw_stream_queue_buffer(impl_->stream, impl_->held);
    impl_->held = nullptr;
}

}  // namespace kestrova::platform::kwin
