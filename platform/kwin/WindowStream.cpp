#include "WindowStream.hpp"

#include "Compositor.hpp"
#include "common/FrameScaler.hpp"
#include "common/PacedCapture.hpp"
#include "common/PipeWireInput.hpp"

#include "zkde-screencast-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <poll.h>

namespace kestrova::platform::kwin {

namespace {

Error windowGoneError() {
    return makeError(ErrorCode::windowGone, "La ventana que se quería capturar ya no existe");
}
Error windowClosedError() { return makeError(ErrorCode::windowGone, "La ventana capturada se cerró"); }

Error inputError(InputFailure failure) {
    const ErrorCode code = failure == InputFailure::unreachable ? ErrorCode::connectFailed
                           : failure == InputFailure::lost      ? ErrorCode::connectionLost
                                                                : ErrorCode::streamFailed;
    return makeError(code, inputFailureDescription(failure, "El compositor"));
}

// The capture thread's side: the compositor's cast of the window and the PipeWire stream that carries it.
class Caster final : public PacedWorker {
public:
    Caster(CaptureChannel& channel, const CaptureSettings& settings, std::optional<std::string> uuid)
        : PacedWorker(channel, settings), uuid_(std::move(uuid)) {}
    ~Caster() override { endCast(); }

    std::optional<Error> open() override;

private:
    // Why the stream cannot go on, if it cannot; a picture of a new size casts the window anew.
    std::optional<Error> update() override;
    bool ready() const override { return input_ && input_->hasPicture(); }
    void take() override;
    void wait(std::optional<FramePacer::Clock::time_point> deadline) override;
    // Asks the compositor to cast the window and connects to the node it names.
    std::optional<Error> cast();
    void endCast();
    std::optional<Error> ended();

    static void castClosed(void* data, zkde_screencast_stream_unstable_v1*) {
        static_cast<Caster*>(data)->closed_ = true;
    }
    static void castCreated(void* data, zkde_screencast_stream_unstable_v1*, std::uint32_t node) {
        static_cast<Caster*>(data)->node_ = node;
    }
    static void castFailed(void* data, zkde_screencast_stream_unstable_v1*, const char*) {
        static_cast<Caster*>(data)->failed_ = true;
    }

    const std::optional<std::string> uuid_;
    std::unique_ptr<Compositor> compositor_;
    zkde_screencast_stream_unstable_v1* cast_ = nullptr;
    std::optional<std::uint32_t> node_;
    bool failed_ = false;
    bool closed_ = false;
    std::unique_ptr<PipeWireInput> input_;
};

std::optional<Error> Caster::open() {
    if (!uuid_) return windowGoneError();
    auto connected = Compositor::connect();
    if (auto* error = std::get_if<Error>(&connected)) return *error;
    compositor_ = std::move(std::get<std::unique_ptr<Compositor>>(connected));
    return cast();
}

std::optional<Error> Caster::cast() {
    static constexpr zkde_screencast_stream_unstable_v1_listener kListener{castClosed, castCreated, castFailed};
    cast_ = zkde_screencast_unstable_v1_stream_window(compositor_->screencast(), uuid_->c_str(),
                                                      ZKDE_SCREENCAST_UNSTABLE_V1_POINTER_HIDDEN);
    zkde_screencast_stream_unstable_v1_add_listener(cast_, &kListener, this);
    // The compositor names the node once its PipeWire stream exists; a stop asked for meanwhile ends the wait.
    while (!node_ && !failed_ && !closed_ && !channel_.stopWanted()) {
        wait(std::nullopt);
        if (compositor_->broken()) return connectionLostError();
    }
    // It refuses a window it does not know, which is one that closed since it was listed.
    if (failed_ || closed_) return windowGoneError();
    if (!node_) return std::nullopt;

    auto input = PipeWireInput::connect(*node_);
    if (auto* failure = std::get_if<InputFailure>(&input)) return inputError(*failure);
    input_ = std::move(std::get<std::unique_ptr<PipeWireInput>>(input));
    restartPacing();
    return std::nullopt;
}

void Caster::endCast() {
    input_.reset();
    if (cast_) zkde_screencast_stream_unstable_v1_close(cast_);
    cast_ = nullptr;
    node_.reset();
    failed_ = false;
    closed_ = false;
    if (compositor_) wl_display_flush(compositor_->display());
}

// Why the stream cannot go on, if it cannot.
std::optional<Error> Caster::ended() {
    if (closed_) return windowClosedError();
    if (compositor_->broken()) return connectionLostError();
    if (input_ && input_->failure()) {
        // The compositor ends the PipeWire stream of a window that closes, and says why right after.
        if (compositor_->roundtrip() && closed_) return windowClosedError();
        if (compositor_->broken()) return connectionLostError();
        return inputError(*input_->failure());
    }
    return std::nullopt;
}

std::optional<Error> Caster::update() {
    for (;;) {
        if (auto error = ended()) return error;
        // Without an input only a stop is left: open() and cast() give up the wait for a node just for that.
        if (channel_.stopWanted() || !input_ || !input_->resized()) return std::nullopt;
        endCast();
        if (auto error = cast()) return error;
    }
}

// The newest picture, scaled into a frame; when consumers hold every frame, it waits for the next tick.
void Caster::take() {
    PixelBufferRef buffer = channel_.acquireFrame();
    if (!buffer) return;
    // The picture may have gone with its buffers since it was seen (a new format); the frame then goes unused.
    const bool read = input_->readNewest([&](const InputFrame& frame) {
        scaleToFit(frame.pixels, frame.width, frame.height, frame.stride, frame.opaque, *buffer);
    });
    if (read) channel_.deliver(buffer);
}

// Sleeps until the compositor, PipeWire or the handle has something, or the deadline, and handles what came.
void Caster::wait(std::optional<FramePacer::Clock::time_point> deadline) {
    wl_display* display = compositor_->display();
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    wl_display_flush(display);
    pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {input_ ? input_->fd() : -1, POLLIN, 0}};
    channel_.wait(fds, deadline);
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        wl_display_read_events(display);
    } else {
        wl_display_cancel_read(display);
    }
    wl_display_dispatch_pending(display);
    if (input_ && (fds[1].revents & POLLIN) != 0) input_->dispatch();
}

}  // namespace

std::shared_ptr<Stream> makeWindowStream(std::optional<std::string> uuid, const StreamConfiguration& configuration,
                                         std::weak_ptr<StreamDelegate> delegate,
                                         std::weak_ptr<FrameBufferProvider> frameBuffers) {
    return makeThreadedStream(
        configuration, std::move(delegate),
        [uuid = std::move(uuid)](CaptureChannel& channel, const CaptureSettings& settings) {
            return std::make_unique<Caster>(channel, settings, uuid);
        },
        [](std::string description) { return makeError(ErrorCode::invalidRequest, std::move(description)); },
        std::move(frameBuffers));
}

}  // namespace kestrova::platform::kwin
