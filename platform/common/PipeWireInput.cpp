#include "PipeWireInput.hpp"

#include "pipewire/PipeWireConnection.hpp"
#include "pipewire/StreamFormat.hpp"

#include <array>
#include <chrono>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace kestrova::platform {

using pipewire::PipeWireConnection;
using pipewire::PixelLayout;

namespace {

// A daemon that takes the connection but never answers must not hold the capture thread up.
constexpr std::chrono::milliseconds kDaemonAnswerBound{5000};

// The picture as the producer has it, opaque or not.
constexpr std::array<PixelLayout, 2> kInputLayouts{PixelLayout::BGRA, PixelLayout::BGRx};

}  // namespace

std::optional<InputRegion> cropOf(const spa_buffer& buffer, std::uint32_t width, std::uint32_t height) {
    const auto* meta = static_cast<const spa_meta_region*>(
        spa_buffer_find_meta_data(&buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
    if (meta == nullptr || !spa_meta_region_is_valid(meta)) return std::nullopt;
    const spa_region& r = meta->region;
    if (r.position.x < 0 || r.position.y < 0 ||
        std::uint64_t{static_cast<std::uint32_t>(r.position.x)} + r.size.width > width ||
        std::uint64_t{static_cast<std::uint32_t>(r.position.y)} + r.size.height > height) {
        return std::nullopt;
    }
    return InputRegion{r.position.x, r.position.y, r.size.width, r.size.height};
}

// Everything here is touched on the connection's thread by PipeWire's callbacks, and elsewhere under its lock.
struct PipeWireInput::Impl {
    int wakeFd = -1;
    pw_stream* stream = nullptr;
    spa_hook coreHook{};
    spa_hook streamHook{};
    std::optional<pipewire::VideoFormat> format;
    bool started = false;
    pw_buffer* held = nullptr;
    std::optional<InputFailure> failure;
    bool resized = false;

    void wake() const {
        const std::uint64_t one = 1;
        (void)!write(wakeFd, &one, sizeof one);
    }

    void fail(InputFailure why) {
        if (!failure) failure = why;
        wake();
    }

    static void coreError(void* data, std::uint32_t id, int, int, const char*) {
        if (id == PW_ID_CORE) static_cast<Impl*>(data)->fail(InputFailure::lost);
    }

    static void stateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
        auto* self = static_cast<Impl*>(data);
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) self->started = true;
        if (state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && self->started)) {
            self->fail(InputFailure::ended);
        }
    }

    static void paramChanged(void* data, std::uint32_t id, const spa_pod* param) {
        auto* self = static_cast<Impl*>(data);
        if (id != SPA_PARAM_Format || param == nullptr) return;
        const auto agreed = pipewire::agreedFormat(param);
        if (!agreed || (agreed->layout != PixelLayout::BGRA && agreed->layout != PixelLayout::BGRx)) {
            self->format.reset();
            return;
        }
        if (self->format && (agreed->width != self->format->width || agreed->height != self->format->height)) {
            self->resized = true;
            self->wake();
        }
        self->format = agreed;
        std::array<std::uint8_t, 256> storage{};
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage.data(), storage.size());
        // Shared memory only: pictures in GPU memory would need a graphics context to read. Asking for one meta
        // narrows the buffers to the metas asked for, so the header that flags a corrupted picture is asked too.
        const spa_pod* params[] = {pipewire::buildBuffers(builder, nullptr), pipewire::buildHeaderMeta(builder),
                                   pipewire::buildCropMeta(builder)};
        pw_stream_update_params(self->stream, params, 3);
    }

    // Buffers go when the format changes (the held one with them, already freed: it must not be queued again).
    static void removeBuffer(void* data, pw_buffer* buffer) {
        auto* self = static_cast<Impl*>(data);
        if (self->held == buffer) self->held = nullptr;
    }

    static void process(void* data) {
        auto* self = static_cast<Impl*>(data);
        bool arrived = false;
        while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream)) arrived = self->hold(buffer) || arrived;
        if (arrived) self->wake();
    }

    // Keeps the buffer as the newest picture when it carries one; whether it did.
    bool hold(pw_buffer* buffer) {
        const spa_data& plane = buffer->buffer->datas[0];
        // Buffers that carry no picture (a cursor-only update, a corrupted frame) go straight back.
        const auto* header = static_cast<const spa_meta_header*>(
            spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)));
        const bool corrupted = header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0;
        const std::size_t stride = plane.chunk ? static_cast<std::size_t>(plane.chunk->stride) : 0;
        const bool usable = format && !corrupted && plane.data && plane.chunk && plane.chunk->size > 0 &&
                            stride >= std::size_t{format->width} * 4 &&
                            std::size_t{plane.chunk->offset} + stride * format->height <= plane.maxsize;
        if (!usable) {
            pw_stream_queue_buffer(stream, buffer);
            return false;
        }
        if (held) pw_stream_queue_buffer(stream, held);
        held = buffer;
        return true;
    }
};

PipeWireInput::PipeWireInput(std::shared_ptr<PipeWireConnection> connection)
    : connection_(std::move(connection)), impl_(std::make_unique<Impl>()) {
    impl_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

std::string inputFailureDescription(InputFailure failure, std::string_view producer) {
    switch (failure) {
        case InputFailure::unreachable: return "No se puede conectar con PipeWire";
        case InputFailure::lost: return "Se perdió la conexión con PipeWire";
        case InputFailure::refused: return "PipeWire no aceptó la captura de la ventana";
        case InputFailure::ended: break;
    }
    return std::string(producer) + " dejó de enviar la imagen de la ventana capturada";
}

std::variant<std::unique_ptr<PipeWireInput>, InputFailure> PipeWireInput::connect(std::uint32_t node) {
    auto connection = PipeWireConnection::open(kDaemonAnswerBound);
    if (!connection) return InputFailure::unreachable;
    std::unique_ptr<PipeWireInput> input(new PipeWireInput(std::move(connection)));
    Impl& impl = *input->impl_;
    if (impl.wakeFd < 0) return InputFailure::refused;

    PipeWireConnection::Lock lock(*input->connection_);
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = &Impl::coreError;
        return e;
    }();
    pw_core_add_listener(input->connection_->core(), &impl.coreHook, &coreEvents, &impl);

    impl.stream = pw_stream_new(input->connection_->core(), "kestrova-window-capture",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                  PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!impl.stream) return InputFailure::lost;
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
    std::array<std::uint8_t, 512> storage{};
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage.data(), storage.size());
    const spa_pod* params[] = {pipewire::buildAnyFormat(builder, kInputLayouts)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
    if (pw_stream_connect(impl.stream, PW_DIRECTION_INPUT, node, flags, params, 1) < 0) {
        return InputFailure::refused;
    }
    return input;
}

PipeWireInput::~PipeWireInput() {
    {
        PipeWireConnection::Lock lock(*connection_);
        if (impl_->stream) {
            if (impl_->held) pw_stream_queue_buffer(impl_->stream, impl_->held);
            pw_stream_destroy(impl_->stream);
        }
        // Registered only once the connection was there to take it.
        if (impl_->coreHook.link.next != nullptr) spa_hook_remove(&impl_->coreHook);
    }
    if (impl_->wakeFd >= 0) close(impl_->wakeFd);
}

int PipeWireInput::fd() const { return impl_->wakeFd; }

void PipeWireInput::dispatch() {
    std::uint64_t pending = 0;
    (void)!read(impl_->wakeFd, &pending, sizeof pending);
}

bool PipeWireInput::hasPicture() const {
    PipeWireConnection::Lock lock(*connection_);
    return impl_->held != nullptr;
}

bool PipeWireInput::readNewest(const std::function<void(const InputFrame&)>& read) {
    PipeWireConnection::Lock lock(*connection_);
    Impl& impl = *impl_;
    if (!impl.held || !impl.format) return false;
    const spa_data& plane = impl.held->buffer->datas[0];
    InputFrame frame;
    frame.pixels = static_cast<const std::uint8_t*>(plane.data) + plane.chunk->offset;
    frame.width = impl.format->width;
    frame.height = impl.format->height;
    frame.stride = static_cast<std::size_t>(plane.chunk->stride);
    frame.opaque = impl.format->layout == PixelLayout::BGRx;
    frame.crop = cropOf(*impl.held->buffer, frame.width, frame.height);
    read(frame);
    pw_stream_queue_buffer(impl.stream, impl.held);
    impl.held = nullptr;
    return true;
}

std::optional<InputFailure> PipeWireInput::failure() const {
    PipeWireConnection::Lock lock(*connection_);
    return impl_->failure;
}

bool PipeWireInput::resized() const {
    PipeWireConnection::Lock lock(*connection_);
    return impl_->resized;
}

}  // namespace kestrova::platform
