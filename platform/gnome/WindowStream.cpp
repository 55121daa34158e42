#include "WindowStream.hpp"

#include "ScreenCastSession.hpp"
#include "common/FrameScaler.hpp"
#include "common/PacedCapture.hpp"
#include "common/PipeWireInput.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace kestrova::platform::gnome {

namespace {

using Clock = FramePacer::Clock;

// How often the shell is asked again for the size of a window that has not drawn yet.
constexpr std::chrono::milliseconds kSizeRecheck{50};

Error windowGoneError() {
    return makeError(ErrorCode::windowGone, "La ventana que se quería capturar ya no existe");
}
Error windowClosedError() { return makeError(ErrorCode::windowGone, "La ventana capturada se cerró"); }
Error stoppedError() {
    return makeError(ErrorCode::stoppedFromShell, "La captura de la ventana se detuvo desde GNOME Shell");
}

Error inputError(InputFailure failure) {
    const ErrorCode code = failure == InputFailure::unreachable ? ErrorCode::connectFailed
                           : failure == InputFailure::lost      ? ErrorCode::connectionLost
                                                                : ErrorCode::streamFailed;
    return makeError(code, inputFailureDescription(failure, "GNOME Shell"));
}

std::uint32_t scaled(double logical, double scale, std::uint32_t limit) {
    return static_cast<std::uint32_t>(std::clamp(std::lround(logical * scale), 0L, long(limit)));
}

// The capture thread's side: Mutter's cast of the window and the PipeWire stream that carries it.
class Caster final : public PacedWorker {
public:
    Caster(CaptureChannel& channel, const CaptureSettings& settings, std::optional<std::uint64_t> windowID)
        : PacedWorker(channel, settings), windowID_(windowID) {}
    std::optional<Error> open() override;

private:
    // Why the stream cannot go on, if it cannot.
    std::optional<Error> update() override;
    bool ready() const override { return input_ && input_->hasPicture(); }
    void take() override;
    void wait(std::optional<Clock::time_point> deadline) override;
    // The window as the shell describes it now; its error when it is gone or the shell cannot say.
    std::variant<ShellWindow, Error> lookUp();
    std::optional<Error> awaitSize();

    const std::optional<std::uint64_t> windowID_;
    std::optional<BusConnection> bus_;
    ShellWindow window_;
    std::uint32_t pictureWidth_ = 0;  // the size of the picture window_ was last read for
    std::uint32_t pictureHeight_ = 0;
    std::unique_ptr<ScreenCastSession> session_;
    std::unique_ptr<PipeWireInput> input_;  // after the session, so that it goes first
};

std::variant<ShellWindow, Error> Caster::lookUp() {
    auto listed = askShell(bus_->get());
    if (auto* error = std::get_if<Error>(&listed)) return *error;
    for (const auto& w : std::get<std::vector<ShellWindow>>(listed)) {
        if (w.id == *windowID_) return w;
    }
    return windowGoneError();
}

// A window that has not drawn yet is never cast: Mutter 43 can crash casting it.
std::optional<Error> Caster::awaitSize() {
    for (;;) {
        auto found = lookUp();
        if (auto* error = std::get_if<Error>(&found)) return *error;
        window_ = std::get<ShellWindow>(found);
        if (window_.sized() || channel_.stopWanted()) return std::nullopt;
        channel_.wait({}, Clock::now() + kSizeRecheck);
    }
}

std::optional<Error> Caster::open() {
    if (!windowID_) return windowGoneError();
    auto connected = BusConnection::connect();
    if (auto* error = std::get_if<Error>(&connected)) return *error;
    bus_.emplace(std::move(std::get<BusConnection>(connected)));
    if (auto error = awaitSize()) return error;
    if (channel_.stopWanted()) return std::nullopt;

    auto recorded = ScreenCastSession::record(bus_->get(), *windowID_);
    if (auto* error = std::get_if<Error>(&recorded)) return *error;
    session_ = std::move(std::get<std::unique_ptr<ScreenCastSession>>(recorded));
    // Mutter names the node once its PipeWire stream exists; a stop asked for meanwhile ends the wait.
    while (!session_->node() && !channel_.stopWanted()) {
        if (auto error = update()) return error;
        wait(std::nullopt);
    }
    if (!session_->node()) return std::nullopt;

    auto input = PipeWireInput::connect(*session_->node());
    if (auto* failure = std::get_if<InputFailure>(&input)) return inputError(*failure);
    input_ = std::move(std::get<std::unique_ptr<PipeWireInput>>(input));
    restartPacing();
    return std::nullopt;
}

std::optional<Error> Caster::update() {
    if (!session_) return std::nullopt;
    if (bus_->closed() || session_->serviceGone()) return connectionLostError();
    if (session_->closed()) {
        // Mutter closes the session of a window that closes as well as one the user stopped.
        auto found = lookUp();
        if (auto* error = std::get_if<Error>(&found)) {
            return error->code == static_cast<int>(ErrorCode::windowGone) ? windowClosedError() : *error;
        }
        return stoppedError();
    }
    if (input_ && input_->failure()) return inputError(*input_->failure());
    return std::nullopt;
}

// The newest picture without its shadow, scaled into a frame; when consumers hold every frame, it waits for the
// next tick. Nothing is sent while Mutter sends nothing, that is while the window does not change.
void Caster::take() {
    PixelBufferRef buffer = channel_.acquireFrame();
    if (!buffer) return;
    // The picture may have gone with its buffers since it was seen (a new format); the frame then goes unused.
    const bool read = input_->readNewest([&](const InputFrame& frame) {
        // Mutter casts the window into a larger picture and marks where it lies.
        const InputRegion shown = frame.crop.value_or(InputRegion{0, 0, frame.width, frame.height});
        // A picture of another size means the window changed size: its shadow is measured again.
        if (shown.width != pictureWidth_ || shown.height != pictureHeight_) {
            if (auto found = lookUp(); auto* window = std::get_if<ShellWindow>(&found)) window_ = *window;
            pictureWidth_ = shown.width;
            pictureHeight_ = shown.height;
        }
        const InputRegion cut = frameWithin(window_, shown.width, shown.height);
        const std::size_t left = std::size_t(shown.x + cut.x);
        const std::size_t top = std::size_t(shown.y + cut.y);
        scaleToFit(frame.pixels + top * frame.stride + left * 4, cut.width, cut.height, frame.stride, frame.opaque,
                   *buffer);
    });
    if (read) channel_.deliver(buffer);
}

// Sleeps until the bus, PipeWire or the handle has something, or the deadline, and handles what came.
void Caster::wait(std::optional<Clock::time_point> deadline) {
    pollfd fds[2] = {{session_->fd(), POLLIN, 0}, {input_ ? input_->fd() : -1, POLLIN, 0}};
    channel_.wait(fds, deadline);
    session_->dispatch();
    if (input_ && (fds[1].revents & POLLIN) != 0) input_->dispatch();
}

}  // namespace

InputRegion frameWithin(const ShellWindow& window, std::uint32_t pictureWidth, std::uint32_t pictureHeight) {
    const InputRegion whole{0, 0, pictureWidth, pictureHeight};
    if (!window.sized()) return whole;
    const double scaleX = pictureWidth / window.buffer.width;
    const double scaleY = pictureHeight / window.buffer.height;
    const std::uint32_t left = scaled(window.frame.x - window.buffer.x, scaleX, pictureWidth);
    const std::uint32_t top = scaled(window.frame.y - window.buffer.y, scaleY, pictureHeight);
    InputRegion cut;
    cut.x = static_cast<std::int32_t>(left);
    cut.y = static_cast<std::int32_t>(top);
    cut.width = std::min(scaled(window.frame.width, scaleX, pictureWidth), pictureWidth - left);
    cut.height = std::min(scaled(window.frame.height, scaleY, pictureHeight), pictureHeight - top);
    return cut.width > 0 && cut.height > 0 ? cut : whole;
}

std::shared_ptr<Stream> makeWindowStream(std::optional<std::uint64_t> windowID,
                                         const StreamConfiguration& configuration,
                                         std::weak_ptr<StreamDelegate> delegate,
                                         std::weak_ptr<FrameBufferProvider> frameBuffers) {
    return makeThreadedStream(
        configuration, std::move(delegate),
        [windowID](CaptureChannel& channel, const CaptureSettings& settings) {
            return std::make_unique<Caster>(channel, settings, windowID);
        },
        [](std::string description) { return makeError(ErrorCode::invalidRequest, std::move(description)); },
        std::move(frameBuffers));
}

}  // namespace kestrova::platform::gnome
