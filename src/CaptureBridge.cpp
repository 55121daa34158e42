#include "CaptureBridge.hpp"

#include "BridgeConstants.hpp"

#include <cmath>
#include <string>

namespace kestrova {

namespace {

using platform::awaitCompletion;
using platform::Completion;
using platform::StreamCompletion;

// Largest capture side accepted: far beyond any display, small enough that doubling and pixel sizes never overflow.
constexpr double kLargestSide = 1 << 20;

// Waits for one start or stop request of the stream.
auto requestOf(const std::shared_ptr<platform::Stream>& stream, void (platform::Stream::*request)(StreamCompletion)) {
    return awaitCompletion<std::optional<platform::Error>>(
        [stream, request](Completion<std::optional<platform::Error>> d) {
            ((*stream).*request)([d](std::optional<platform::Error> e) { d(std::move(e)); });
        });
}

}  // namespace

CaptureBridge::CaptureBridge(std::shared_ptr<FrameSink> sink, platform::ScreenCaptureService& screenCapture)
    : sink_(std::move(sink)),
      screenCapture_(screenCapture),
      frameQueue_(std::make_shared<platform::SerialQueue>(std::string(constants::kFrameQueueLabel),
                                                          platform::QueuePriority::userInteractive)) {}

std::shared_ptr<CaptureBridge> CaptureBridge::create(std::shared_ptr<FrameSink> sink,
                                                    platform::ScreenCaptureService& screenCapture) {
    return std::shared_ptr<CaptureBridge>(new CaptureBridge(std::move(sink), screenCapture));
}

std::int64_t CaptureBridge::captureDimension(double points) {
    if (!std::isfinite(points) || points <= 0) return 1;
    const double whole = std::ceil(std::fmin(points, kLargestSide));
    const auto doubled = static_cast<std::int64_t>(whole) * constants::kCaptureScale;
    return doubled < 1 ? 1 : doubled;
}

void CaptureBridge::report(const platform::Error& error) {
    if (onError) onError(error);
}

void CaptureBridge::capture(platform::Window window) {
    const std::int64_t token = ++generation_;
    platform::spawn(runCapture(token, std::move(window)));
}

void CaptureBridge::stopCapture() {
    ++generation_;
    auto self = shared_from_this();
    platform::spawn([](std::shared_ptr<CaptureBridge> bridge) -> platform::Task<> {
        co_await bridge->stopCurrentStream();
    }(self));
}

platform::Task<bool> CaptureBridge::stopCurrentStream() {
    auto self = shared_from_this();
    if (!stream_) co_return true;
    auto stopping = stream_;
    auto stopped = requestOf(stopping, &platform::Stream::stopCapture);
    auto error = co_await stopped;
    if (error) {
        // Another request stopped it meanwhile (a switch asks twice: stop, then capture); a service refuses the
        // second stop of a stopped stream, but the stream is gone as wanted.
        if (stream_ != stopping) co_return true;
        report(*error);
        co_return false;
    }
    if (stream_ == stopping) stream_.reset();
    co_return true;
}

platform::Task<> CaptureBridge::stopOvertaken(std::shared_ptr<platform::Stream> stream) {
    ++overtakenStops_;
    auto stopped = requestOf(stream, &platform::Stream::stopCapture);
    (void)co_await stopped;
    if (--overtakenStops_ > 0) co_return;
    auto waiting = std::move(overtakenStopsSettled_);
    overtakenStopsSettled_.clear();
    for (const auto& settled : waiting) settled(true);
}

platform::Task<> CaptureBridge::runCapture(std::int64_t token, platform::Window window) {
    auto self = shared_from_this();
    if (!co_await stopCurrentStream()) co_return;
    if (token != generation_) co_return;

    platform::ContentFilter filter(window);
    platform::StreamConfiguration configuration;
    configuration.setPixelFormat(constants::kPixelFormatBGRA);
    configuration.setMinimumFrameInterval({constants::kFrameIntervalValue, constants::kFrameIntervalTimescale});
    configuration.setQueueDepth(constants::kQueueDepth);
    configuration.setShowsCursor(false);
    configuration.setCapturesAudio(false);
    configuration.setWidth(captureDimension(window->frame.width));
    configuration.setHeight(captureDimension(window->frame.height));
    configuration.setScalesToFit(true);

    auto created = screenCapture_.makeStream(filter, configuration, weak_from_this());
    if (!created) {
        report(platform::Error("No se pudo crear la captura de la ventana"));
        co_return;
    }
    // A stream that never receives frames would leave the status line claiming a transmission: report it.
    if (auto error = created->addStreamOutput(weak_from_this(), constants::kStreamOutputTypeScreen, frameQueue_)) {
        report(*error);
        co_return;
    }
    stream_ = created;

    auto started = requestOf(created, &platform::Stream::startCapture);
    auto startError = co_await started;
    if (startError) {
        if (token != generation_ || stream_ != created) co_return;
        stream_.reset();
        report(*startError);
        co_return;
    }
    if (token == generation_) co_return;
    if (stream_ == created) stream_.reset();
    co_await stopOvertaken(created);
}

platform::Task<bool> CaptureBridge::shutdown() {
    auto self = shared_from_this();
    ++generation_;
    if (!co_await stopCurrentStream()) co_return false;
    // Streams that overtaken captures are still stopping may still deliver frames; wait until they have stopped.
    // Awaiters that own captures are kept as named locals: GCC 12 may destroy a temporary one twice.
    while (overtakenStops_ > 0) {
        auto settled = awaitCompletion<bool>([this](Completion<bool> done) {
            overtakenStopsSettled_.push_back(std::move(done));
        });
        co_await settled;
    }
    auto drain = awaitCompletion<bool>([queue = frameQueue_](Completion<bool> drained) {
        queue->async([drained] { drained(true); });
    });
    co_await drain;
    sink_->stop();
    co_return true;
}

bool CaptureBridge::isComplete(const platform::SampleBuffer& sample) {
    if (!sample.attachments) return false;
    const auto* array = std::get_if<platform::AttachmentArray>(&*sample.attachments);
    if (!array || array->empty()) return false;
    for (const auto& element : *array) {
        if (!std::holds_alternative<platform::AttachmentDictionary>(element)) return false;
    }
    const auto& first = std::get<platform::AttachmentDictionary>(array->front());
    const auto entry = first.find(platform::kFrameInfoStatus);
    if (entry == first.end()) return false;
    const auto* status = std::get_if<std::int64_t>(&entry->second);
    return status && *status == constants::kFrameStatusComplete;
}

void CaptureBridge::streamDidOutputSampleBuffer(platform::Stream&, const platform::SampleBuffer& sample,
                                                int outputType) {
    if (outputType != constants::kStreamOutputTypeScreen) return;
    if (!sample.isValid()) return;
    if (!isComplete(sample)) return;
    if (!sample.imageBuffer) return;
    sink_->publish(sample.imageBuffer);
}

void CaptureBridge::streamDidStopWithError(platform::Stream&, const platform::Error& error) {
    std::weak_ptr<CaptureBridge> weak = weak_from_this();
    (void)platform::postToMainQueue([weak, error] {
        if (auto bridge = weak.lock()) bridge->report(error);
    });
}

}  // namespace kestrova
