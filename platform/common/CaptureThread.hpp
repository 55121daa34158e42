#pragma once

// The life of a capture stream whose pictures come from a thread of its own: the handle's start and stop, the
// outputs that receive complete samples, frame buffers bounded by the queue depth, and the report of an end that
// nobody asked for. A provider supplies the worker that opens its source and runs until stopped or ended.

#include "FrameServer.hpp"
#include "PixelBufferPool.hpp"
#include "ScreenCapture.hpp"

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace kestrova::platform {

// What a capture thread needs of its configuration, checked once.
struct CaptureSettings {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::chrono::nanoseconds interval{};
    std::size_t queueDepth = 0;
};

// How a provider words a request it cannot serve, in its own error domain.
using RequestError = std::function<Error(std::string description)>;

// The settings, or the error that refuses the configuration: only BGRA output, of a size that can be mapped, with
// the interval held between a 60th of a second and an hour and the queue depth between 1 and 8.
std::variant<CaptureSettings, Error> captureSettingsOf(const StreamConfiguration& configuration,
                                                       const RequestError& requestError);

// What a stream's handle and its capture thread share; the last of the two to let go frees it.
class CaptureChannel {
public:
    // Frames are written into the provider's buffers while it lends them (none given: always the capture's own).
    CaptureChannel(std::weak_ptr<StreamDelegate> delegate, std::weak_ptr<FrameBufferProvider> frameBuffers);
    ~CaptureChannel();
    CaptureChannel(const CaptureChannel&) = delete;
    CaptureChannel& operator=(const CaptureChannel&) = delete;

    // Sleeps until one of the sources (their revents filled in) or the handle wants attention, or until the
    // deadline; the handle's wake-up is cleared. Up to kMostWaitSources sources; a negative descriptor is ignored.
    static constexpr std::size_t kMostWaitSources = 3;
    void wait(std::span<pollfd> sources, std::optional<std::chrono::steady_clock::time_point> deadline) const;
    // The handle asked for a stop, or is gone.
    bool stopWanted();
    // A buffer for the next frame: one the frame server lends when it has one free, else the capture's own;
    // nothing when consumers still hold a queue depth's worth of the capture's frames (the tick drops) or memory
    // is refused.
    PixelBufferRef acquireFrame();
    // Hands a frame from acquireFrame() to every screen output, as a complete sample on the output's queue.
    void deliver(const PixelBufferRef& buffer);

private:
    friend class ThreadedStream;
    struct Output {
        std::weak_ptr<StreamOutput> output;
        int type = 0;
        std::shared_ptr<SerialQueue> queue;
    };
    // idle → starting → running → ended (on its own) or stopped (asked to); a failed start is ended too.
    enum class Phase { idle, starting, running, ended, stopped };

    void wake() const;

    const std::weak_ptr<StreamDelegate> delegate_;
    const std::weak_ptr<FrameBufferProvider> frameBuffers_;
    const int wakeFd_;
    std::mutex mutex_;
    Phase phase_ = Phase::idle;
    std::vector<StreamCompletion> stopWaiters_;
    std::shared_ptr<const std::vector<Output>> outputs_ = std::make_shared<const std::vector<Output>>();
    bool abandoned_ = false;  // the handle is gone: stop without telling anyone
    // The capture thread's own.
    std::weak_ptr<Stream> handle_;
    std::shared_ptr<PixelBufferPool> pool_;
    std::vector<PixelBufferRef> held_;  // frames handed out and not yet released by every consumer
    bool lent_ = false;                 // the last frame acquired is the frame server's, not the pool's
    struct Delivery;
    std::vector<std::shared_ptr<Delivery>> deliveries_;
    std::size_t queueDepth_ = 0;
};

// The provider's side, on the capture thread.
class CaptureWorker {
public:
    virtual ~CaptureWorker() = default;
    // Opens the source; the error fails the start.
    virtual std::optional<Error> open() = 0;
    // Runs until the channel wants a stop (no error) or the source ends (its error, reported to the delegate).
    virtual std::optional<Error> run() = 0;
};

using CaptureWorkerFactory = std::function<std::unique_ptr<CaptureWorker>(CaptureChannel&, const CaptureSettings&)>;

// A stream that, started, runs the factory's worker on a thread of its own. A handle dropped while running stops
// the thread silently; every completion runs once, a stop's only when the worker has released everything. Frames
// go into the frame buffers' memory while they lend it.
std::shared_ptr<Stream> makeThreadedStream(const StreamConfiguration& configuration,
                                           std::weak_ptr<StreamDelegate> delegate, CaptureWorkerFactory factory,
                                           RequestError requestError,
                                           std::weak_ptr<FrameBufferProvider> frameBuffers = {});

}  // namespace kestrova::platform
