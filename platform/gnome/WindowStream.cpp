#include "WindowStream.hpp"

#include "CaptureThread.hpp"
#include "FrameScaler.hpp"
#include "PipeWireInput.hpp"
#include "ScreenCastSession.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace kestrova::platform::gnome {

namespace {

using Clock = std::chrono::steady_clock;

// How often the shell is asked again for the size of a window that has not drawn yet.
constexpr std::chrono::milliseconds kSizeRecheck{50};

Error windowGoneError() {
    return makeError(ErrorCode::windowGone, "La ventana que se quería capturar ya no existe");
}
Error windowClosedError() { return makeError(ErrorCode::windowGone, "La ventana capturada se cerró"); }
Error stoppedError() {
    return makeError(ErrorCode::stoppedFromShell, "La captura de la ventana se detuvo desde GNOME Shell");
}

std::uint32_t scaled(double logical, double scale, std::uint32_t limit) {
    return static_cast<std::uint32_t>(std::clamp(std::lround(logical * scale), 0L, long(limit)));
}

// The capture thread's side: Mutter's cast of the window and the PipeWire stream that carries it.
class Caster final : public CaptureWorker {
public:
    Caster(CaptureChannel& channel, const CaptureSettings& settings, std::optional<std::uint64_t> windowID)
        : channel_(channel), settings_(settings), windowID_(windowID) {}
    ~Caster() override {
        input_.reset();
        session_.reset();
    }
    Caster(const Caster&) = delete;
    Caster& operator=(const Caster&) = delete;

    std::optional<Error> open() override;
    std::optional<Error> run() override;

private:
    // The window as the shell describes it now; its error when it is gone or the shell cannot say.
    std::variant<ShellWindow, Error> lookUp();
    std::optional<Error> awaitSize();
    std::optional<Error> ended();
    void emit(Clock::time_point now);
    void wait(std::optional<Clock::time_point> deadline);

    CaptureChannel& channel_;
    const CaptureSettings settings_;
    const std::optional<std::uint64_t> windowID_;
    std::optional<BusConnection> bus_;
    ShellWindow window_;
    std::uint32_t pictureWidth_ = 0;  // the size of the picture window_ was last read for
    std::uint32_t pictureHeight_ = 0;
    std::unique_ptr<ScreenCastSession> session_;
    std::unique_ptr<kwin::PipeWireInput> input_;
    Clock::time_point due_{};
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
        if (auto error = ended()) return error;
        wait(std::nullopt);
    }
    if (!session_->node()) return std::nullopt;

    auto input = kwin::PipeWireInput::connect(*session_->node());
    if (auto* error = std::get_if<Error>(&input)) return *error;
    input_ = std::move(std::get<std::unique_ptr<kwin::PipeWireInput>>(input));
    due_ = Clock::now();
    return std::nullopt;
}

// Why the stream cannot go on, if it cannot.
std::optional<Error> Caster::ended() {
    if (bus_->closed() || session_->serviceGone()) return connectionLostError();
    if (session_->closed()) {
        // Mutter closes the session of a window that closes as well as one the user stopped.
        auto found = lookUp();
        if (auto* error = std::get_if<Error>(&found)) {
            return error->code == static_cast<int>(ErrorCode::windowGone) ? windowClosedError() : *error;
        }
        return stoppedError();
    }
    if (input_ && input_->failure()) return *input_->failure();
    return std::nullopt;
}

std::optional<Error> Caster::run() {
    for (;;) {
        if (auto error = ended()) return error;
        if (channel_.stopWanted() || !input_) return std::nullopt;
        const bool ready = input_->newest().has_value();
        const auto now = Clock::now();
        if (ready && now >= due_) {
            emit(now);
        } else {
            wait(ready ? std::optional(due_) : std::nullopt);
        }
    }
}

// The newest picture without its shadow, scaled into a frame; when consumers hold every frame, it waits for the
// next tick. Nothing is sent while Mutter sends nothing, that is while the window does not change.
void Caster::emit(Clock::time_point now) {
    due_ = std::max(due_ + settings_.interval, now);
    PixelBufferRef buffer = channel_.acquireFrame();
    if (!buffer) return;
    const kwin::InputFrame frame = *input_->newest();
    // A picture of another size means the window changed size: its shadow is measured again.
    if (frame.width != pictureWidth_ || frame.height != pictureHeight_) {
        if (auto found = lookUp(); auto* window = std::get_if<ShellWindow>(&found)) window_ = *window;
        pictureWidth_ = frame.width;
        pictureHeight_ = frame.height;
    }
    const kwin::PictureRegion cut = frameWithin(window_, frame.width, frame.height);
    x11::scaleToFit(frame.pixels + cut.y * frame.stride + std::size_t{cut.x} * 4, cut.width, cut.height,
                    frame.stride, frame.opaque, *buffer);
    input_->release();
    channel_.deliver(buffer);
}

// Sleeps until the bus, PipeWire or the handle has something, or the deadline, and handles what came.
void Caster::wait(std::optional<Clock::time_point> deadline) {
    pollfd fds[2] = {{session_->fd(), POLLIN, 0}, {input_ ? input_->fd() : -1, POLLIN, 0}};
    channel_.wait(fds, deadline);
    session_->dispatch();
    if (input_ && (fds[1].revents & POLLIN) != 0) input_->dispatch();
}

}  // namespace

kwin::PictureRegion frameWithin(const ShellWindow& window, std::uint32_t pictureWidth, std::uint32_t pictureHeight) {
    const kwin::PictureRegion whole{0, 0, pictureWidth, pictureHeight};
    if (!window.sized()) return whole;
    const double scaleX = pictureWidth / window.buffer.width;
    const double scaleY = pictureHeight / window.buffer.height;
    kwin::PictureRegion cut;
    cut.x = scaled(window.frame.x - window.buffer.x, scaleX, pictureWidth);
    cut.y = scaled(window.frame.y - window.buffer.y, scaleY, pictureHeight);
    cut.width = std::min(scaled(window.frame.width, scaleX, pictureWidth), pictureWidth - cut.x);
    cut.height = std::min(scaled(window.frame.height, scaleY, pictureHeight), pictureHeight - cut.y);
    return cut.width > 0 && cut.height > 0 ? cut : whole;
}

std::shared_ptr<Stream> makeWindowStream(std::optional<std::uint64_t> windowID,
                                         const StreamConfiguration& configuration,
                                         std::weak_ptr<StreamDelegate> delegate) {
    return makeThreadedStream(
        configuration, std::move(delegate),
        [windowID](CaptureChannel& channel, const CaptureSettings& settings) {
            return std::make_unique<Caster>(channel, settings, windowID);
        },
        [](std::string description) { return makeError(ErrorCode::invalidRequest, std::move(description)); });
}

}  // namespace kestrova::platform::gnome
