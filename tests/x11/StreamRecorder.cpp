#include "StreamRecorder.hpp"

#include "X11TestSupport.hpp"

#include "BridgeConstants.hpp"
#include "CaptureBridge.hpp"
#include "DemoPattern.hpp"

#include <future>

namespace kestrova::testing {

void Recorder::streamDidOutputSampleBuffer(platform::Stream&, const platform::SampleBuffer& sample, int type) {
    SeenSample seen;
    seen.type = type;
    seen.onQueue = queue_->isCurrent();
    seen.complete = CaptureBridge::isComplete(sample);
    if (const auto& b = sample.imageBuffer) {
        seen.width = b->width();
        seen.height = b->height();
        seen.pixelFormat = b->pixelFormat();
        seen.counter = demo::decode(b->bytes(), b->bytesPerRow(), b->width(), b->height());
    }
    {
        std::lock_guard lock(mutex_);
        samples_.push_back(seen);
    }
    changed_.notify_all();
}

void Recorder::streamDidStopWithError(platform::Stream&, const platform::Error& error) {
    {
        std::lock_guard lock(mutex_);
        stops_.push_back(error);
    }
    changed_.notify_all();
}

bool Recorder::waitForSamples(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] { return samples_.size() >= count; });
}

bool Recorder::waitForCounterBeyond(std::size_t after, std::uint32_t counter) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] {
        for (std::size_t i = after; i < samples_.size(); ++i) {
            if (samples_[i].counter && *samples_[i].counter > counter) return true;
        }
        return false;
    });
}

bool Recorder::waitForStop() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] { return !stops_.empty(); });
}

std::vector<SeenSample> Recorder::samples() const {
    std::lock_guard lock(mutex_);
    return samples_;
}

std::vector<platform::Error> Recorder::stops() const {
    std::lock_guard lock(mutex_);
    return stops_;
}

namespace {

Outcome request(platform::Stream& stream, void (platform::Stream::*what)(platform::StreamCompletion)) {
    auto promise = std::make_shared<std::promise<std::optional<platform::Error>>>();
    auto answer = promise->get_future();
    (stream.*what)([promise](std::optional<platform::Error> error) { promise->set_value(std::move(error)); });
    if (answer.wait_for(kBound) != std::future_status::ready) return std::nullopt;
    return answer.get();
}

}  // namespace

Outcome start(platform::Stream& stream) { return request(stream, &platform::Stream::startCapture); }
Outcome stop(platform::Stream& stream) { return request(stream, &platform::Stream::stopCapture); }

bool succeeded(const Outcome& outcome) { return outcome && !*outcome; }

bool failedWith(const Outcome& outcome, platform::x11::ErrorCode code) {
    return outcome && *outcome && (*outcome)->domain == platform::x11::kErrorDomain &&
           (*outcome)->code == static_cast<int>(code) && !(*outcome)->description.empty();
}

platform::StreamConfiguration configurationFor(double width, double height) {
    platform::StreamConfiguration configuration;
    configuration.setPixelFormat(constants::kPixelFormatBGRA);
    configuration.setMinimumFrameInterval({constants::kFrameIntervalValue, constants::kFrameIntervalTimescale});
    configuration.setQueueDepth(constants::kQueueDepth);
    configuration.setShowsCursor(false);
    configuration.setWidth(CaptureBridge::captureDimension(width));
    configuration.setHeight(CaptureBridge::captureDimension(height));
    configuration.setScalesToFit(true);
    return configuration;
}

std::shared_ptr<platform::WindowRecord> recordOf(std::uint32_t id) {
    auto record = std::make_shared<platform::WindowRecord>();
    record->windowID = id;
    return record;
}

}  // namespace kestrova::testing
