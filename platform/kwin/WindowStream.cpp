#include "WindowStream.hpp"

#include "Compositor.hpp"
#include "FrameScaler.hpp"
#include "PipeWireInput.hpp"
#include "StreamSettings.hpp"

#include "zkde-screencast-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace kestrova::platform::kwin {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kOutputTypeScreen = 0;
constexpr std::int64_t kFrameStatusComplete = 0;

Error windowGoneError() {
    return makeError(ErrorCode::windowGone, "La ventana que se quería capturar ya no existe");
}
Error windowClosedError() { return makeError(ErrorCode::windowGone, "La ventana capturada se cerró"); }

struct Output {
    std::weak_ptr<StreamOutput> output;
    int type = 0;
    std::shared_ptr<SerialQueue> queue;
};

// idle → starting → running → ended (on its own) or stopped (asked to); a failed start is ended too.
enum class Phase { idle, starting, running, ended, stopped };

// What the stream handle and its capture thread share; the last of the two to let go frees it.
struct Shared {
    Shared(std::optional<std::string> windowUuid, std::weak_ptr<StreamDelegate> streamDelegate)
        : uuid(std::move(windowUuid)),
          delegate(std::move(streamDelegate)),
          wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Shared() {
        if (wakeFd >= 0) close(wakeFd);
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    void wake() const {
        const std::uint64_t one = 1;
        (void)!write(wakeFd, &one, sizeof one);
    }
    bool stopWanted() {
        std::lock_guard lock(mutex);
        return abandoned || !stopWaiters.empty();
    }

    const std::optional<std::string> uuid;
    const std::weak_ptr<StreamDelegate> delegate;
    const int wakeFd;

    std::mutex mutex;
    Phase phase = Phase::idle;
    std::vector<StreamCompletion> stopWaiters;
    std::vector<Output> outputs;
    bool abandoned = false;  // the handle is gone: stop without telling anyone
};

// The capture thread's side: the compositor's cast of the window and the PipeWire stream that carries it.
class Caster {
public:
    Caster(std::shared_ptr<Shared> shared, std::weak_ptr<Stream> handle, const StreamSettings& settings)
        : shared_(std::move(shared)), handle_(std::move(handle)), settings_(settings) {}
    ~Caster() {
        input_.reset();
        if (cast_) zkde_screencast_stream_unstable_v1_close(cast_);
        if (compositor_) wl_display_flush(compositor_->display());
    }
    Caster(const Caster&) = delete;
    Caster& operator=(const Caster&) = delete;

    std::optional<Error> open();
    // Runs until asked to stop, or until the window, the compositor or PipeWire ends it; gives the error.
    std::optional<Error> run();

private:
    std::optional<Error> ended();
    void emit(Clock::time_point now);
    void deliver(const PixelBufferRef& buffer);
    void wait(std::optional<Clock::time_point> deadline);

    static void castClosed(void* data, zkde_screencast_stream_unstable_v1*) { static_cast<Caster*>(data)->closed_ = true; }
    static void castCreated(void* data, zkde_screencast_stream_unstable_v1*, std::uint32_t node) {
        static_cast<Caster*>(data)->node_ = node;
    }
    static void castFailed(void* data, zkde_screencast_stream_unstable_v1*, const char*) {
        static_cast<Caster*>(data)->failed_ = true;
    }

    std::shared_ptr<Shared> shared_;
    std::weak_ptr<Stream> handle_;
    StreamSettings settings_;
    std::unique_ptr<Compositor> compositor_;
    zkde_screencast_stream_unstable_v1* cast_ = nullptr;
    std::optional<std::uint32_t> node_;
    bool failed_ = false;
    bool closed_ = false;
    std::unique_ptr<PipeWireInput> input_;
    std::shared_ptr<PixelBufferPool> pool_;
    // Frames handed out and not yet released by every consumer; at most the queue depth.
    std::vector<PixelBufferRef> held_;
    Clock::time_point due_{};
};

std::optional<Error> Caster::open() {
    if (!shared_->uuid) return windowGoneError();
    auto connected = Compositor::connect();
    if (auto* error = std::get_if<Error>(&connected)) return *error;
    compositor_ = std::move(std::get<std::unique_ptr<Compositor>>(connected));

    static constexpr zkde_screencast_stream_unstable_v1_listener kListener{castClosed, castCreated, castFailed};
    cast_ = zkde_screencast_unstable_v1_stream_window(compositor_->screencast(), shared_->uuid->c_str(),
                                                      ZKDE_SCREENCAST_UNSTABLE_V1_POINTER_HIDDEN);
    zkde_screencast_stream_unstable_v1_add_listener(cast_, &kListener, this);
    // The compositor names the node once its PipeWire stream exists; a stop asked for meanwhile ends the wait.
    while (!node_ && !failed_ && !closed_ && !shared_->stopWanted()) {
        wait(std::nullopt);
        if (compositor_->broken()) return connectionLostError();
    }
    // It refuses a window it does not know, which is one that closed since it was listed.
    if (failed_ || closed_) return windowGoneError();
    if (!node_) return std::nullopt;

    auto input = PipeWireInput::connect(*node_);
    if (auto* error = std::get_if<Error>(&input)) return *error;
    input_ = std::move(std::get<std::unique_ptr<PipeWireInput>>(input));
    pool_ = PixelBufferPool::create(settings_.width, settings_.height, settings_.queueDepth);
    due_ = Clock::now();
    return std::nullopt;
}

// Why the stream cannot go on, if it cannot.
std::optional<Error> Caster::ended() {
    if (closed_) return windowClosedError();
    if (compositor_->broken()) return connectionLostError();
    if (input_ && input_->failure()) {
        // The compositor ends the PipeWire stream of a window that closes, and says why right after.
        if (compositor_->roundtrip() && closed_) return windowClosedError();
        if (compositor_->broken()) return connectionLostError();
        return *input_->failure();
    }
    return std::nullopt;
}

std::optional<Error> Caster::run() {
    for (;;) {
        if (auto error = ended()) return error;
        if (shared_->stopWanted() || !input_) return std::nullopt;
        const bool ready = input_->newest().has_value();
        const auto now = Clock::now();
        if (ready && now >= due_) {
            emit(now);
        } else {
            wait(ready ? std::optional(due_) : std::nullopt);
        }
    }
}

void Caster::emit(Clock::time_point now) {
    due_ = std::max(due_ + settings_.interval, now);
    std::erase_if(held_, [](const PixelBufferRef& frame) { return frame.use_count() == 1; });
    // A consumer that holds every frame of the queue depth makes this tick drop; the picture waits for the next.
    if (held_.size() >= settings_.queueDepth) return;
    PixelBufferRef buffer = pool_->acquire();
    if (!buffer) return;
    const InputFrame frame = *input_->newest();
    x11::scaleToFit(frame.pixels, frame.width, frame.height, frame.stride, frame.opaque, *buffer);
    input_->release();
    held_.push_back(buffer);
    deliver(buffer);
}

void Caster::deliver(const PixelBufferRef& buffer) {
    SampleBuffer sample;
    sample.attachments =
        AttachmentArray{AttachmentDictionary{{std::string(kFrameInfoStatus), AttachmentValue(kFrameStatusComplete)}}};
    sample.imageBuffer = buffer;
    std::vector<Output> outputs;
    {
        std::lock_guard lock(shared_->mutex);
        outputs = shared_->outputs;
    }
    for (const auto& output : outputs) {
        if (output.type != kOutputTypeScreen) continue;
        output.queue->async([handle = handle_, receiver = output.output, sample] {
            auto stream = handle.lock();
            auto target = receiver.lock();
            if (stream && target) target->streamDidOutputSampleBuffer(*stream, sample, kOutputTypeScreen);
        });
    }
}

// Sleeps until the compositor, PipeWire or the handle has something, or the deadline, and handles what came.
void Caster::wait(std::optional<Clock::time_point> deadline) {
    wl_display* display = compositor_->display();
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    wl_display_flush(display);
    pollfd fds[3] = {{wl_display_get_fd(display), POLLIN, 0},
                     {shared_->wakeFd, POLLIN, 0},
                     {input_ ? input_->fd() : -1, POLLIN, 0}};
    timespec timeout{};
    if (deadline) {
        const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    (void)ppoll(fds, input_ ? 3 : 2, deadline ? &timeout : nullptr, nullptr);
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        wl_display_read_events(display);
    } else {
        wl_display_cancel_read(display);
    }
    wl_display_dispatch_pending(display);
    if ((fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        (void)!read(shared_->wakeFd, &count, sizeof count);
    }
    if (input_ && (fds[2].revents & POLLIN) != 0) input_->dispatch();
}

// The capture thread: start, run, and report the end only once every resource of the stream is released.
void captureThread(std::shared_ptr<Shared> shared, std::weak_ptr<Stream> handle, StreamSettings settings,
                   StreamCompletion started) {
    std::optional<Error> failure;
    std::optional<Error> ended;
    {
        Caster caster(shared, handle, settings);
        failure = caster.open();
        {
            std::lock_guard lock(shared->mutex);
            shared->phase = failure ? Phase::ended : Phase::running;
        }
        started(failure);
        started = nullptr;
        if (!failure) ended = caster.run();
    }
    std::vector<StreamCompletion> waiters;
    bool report = false;
    {
        std::lock_guard lock(shared->mutex);
        waiters.swap(shared->stopWaiters);
        const bool stopped = !waiters.empty() || shared->abandoned;
        shared->phase = stopped ? Phase::stopped : Phase::ended;
        report = !stopped && ended.has_value();
    }
    if (report) {
        auto delegate = shared->delegate.lock();
        auto stream = handle.lock();
        if (delegate && stream) delegate->streamDidStopWithError(*stream, *ended);
    }
    for (auto& waiter : waiters) waiter(std::nullopt);
}

class WindowStream final : public Stream, public std::enable_shared_from_this<WindowStream> {
public:
    WindowStream(std::optional<std::string> uuid, const StreamConfiguration& configuration,
                 std::weak_ptr<StreamDelegate> delegate)
        : shared_(std::make_shared<Shared>(std::move(uuid), std::move(delegate))), configuration_(configuration) {}

    // A stream dropped while running stops on its own thread, silently.
    ~WindowStream() override {
        std::lock_guard lock(shared_->mutex);
        shared_->abandoned = true;
        shared_->wake();
    }

    std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, int outputType,
                                         std::shared_ptr<SerialQueue> sampleHandlerQueue) override {
        if (!sampleHandlerQueue) {
            return makeError(ErrorCode::invalidRequest, "Falta la cola en la que entregar los cuadros capturados");
        }
        std::lock_guard lock(shared_->mutex);
        shared_->outputs.push_back(Output{std::move(output), outputType, std::move(sampleHandlerQueue)});
        return std::nullopt;
    }

    void startCapture(StreamCompletion completion) override {
        std::optional<Error> refusal;
        {
            std::lock_guard lock(shared_->mutex);
            auto settings = settingsOf(configuration_);
            if (shared_->phase != Phase::idle) {
                refusal = makeError(ErrorCode::invalidRequest, "La captura de esta ventana ya se había iniciado");
            } else if (shared_->wakeFd < 0) {
                refusal = makeError(ErrorCode::invalidRequest, "No se pudo preparar la captura de la ventana");
            } else if (auto* error = std::get_if<Error>(&settings)) {
                refusal = *error;
            } else {
                try {
                    std::thread(captureThread, shared_, weak_from_this(), std::get<StreamSettings>(settings),
                                completion)
                        .detach();
                    shared_->phase = Phase::starting;
                } catch (const std::system_error&) {
                    refusal = makeError(ErrorCode::invalidRequest, "No se pudo preparar la captura de la ventana");
                }
            }
            if (refusal && shared_->phase == Phase::idle) shared_->phase = Phase::ended;
        }
        if (refusal) completion(std::move(refusal));
    }

    void stopCapture(StreamCompletion completion) override {
        std::optional<Error> answer;
        {
            std::lock_guard lock(shared_->mutex);
            switch (shared_->phase) {
                case Phase::idle:
                    answer = makeError(ErrorCode::invalidRequest, "La captura de esta ventana no se había iniciado");
                    break;
                case Phase::starting:
                case Phase::running:
                    // Every stop asked for before the thread ends completes when it has released everything.
                    shared_->stopWaiters.push_back(std::move(completion));
                    shared_->wake();
                    return;
                case Phase::ended:
                    shared_->phase = Phase::stopped;
                    break;
                case Phase::stopped:
                    answer = makeError(ErrorCode::invalidRequest, "La captura de esta ventana ya estaba detenida");
                    break;
            }
        }
        completion(std::move(answer));
    }

private:
    std::shared_ptr<Shared> shared_;
    StreamConfiguration configuration_;
};

}  // namespace

std::shared_ptr<Stream> makeWindowStream(std::optional<std::string> uuid, const StreamConfiguration& configuration,
                                         std::weak_ptr<StreamDelegate> delegate) {
    return std::make_shared<WindowStream>(std::move(uuid), configuration, std::move(delegate));
}

}  // namespace kestrova::platform::kwin
