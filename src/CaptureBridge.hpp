#pragma once

#include "Dispatch.hpp"
#include "FrameSink.hpp"
#include "ScreenCapture.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kestrova {

// Owns the one capture stream: starts, switches and stops it, fencing stale work by a generation counter, and
// hands every complete frame to the sink on its own serial queue. Its streams come from a screen-capture service
// that outlives it.
class CaptureBridge final : public platform::StreamOutput,
                            public platform::StreamDelegate,
                            public std::enable_shared_from_this<CaptureBridge> {
public:
    static std::shared_ptr<CaptureBridge> create(std::shared_ptr<FrameSink> sink,
                                                 platform::ScreenCaptureService& screenCapture);

    std::function<void(const platform::Error&)> onError;
    const std::shared_ptr<FrameSink>& sink() const { return sink_; }

    void capture(platform::Window window);
    void stopCapture();
    // Stops the stream, drains the frame queue and stops the sink; false when the stream would not stop.
    platform::Task<bool> shutdown();

    std::int64_t generation() const { return generation_; }
    bool hasStream() const { return stream_ != nullptr; }

    void streamDidOutputSampleBuffer(platform::Stream& stream, const platform::SampleBuffer& sample,
                                     int outputType) override;
    void streamDidStopWithError(platform::Stream& stream, const platform::Error& error) override;

    static bool isComplete(const platform::SampleBuffer& sample);
    // Twice the window's size in points, at least 1; non-finite and huge sizes are clamped.
    static std::int64_t captureDimension(double points);

private:
    CaptureBridge(std::shared_ptr<FrameSink> sink, platform::ScreenCaptureService& screenCapture);
    platform::Task<> runCapture(std::int64_t token, platform::Window window);
    platform::Task<bool> stopCurrentStream();
    platform::Task<> stopOvertaken(std::shared_ptr<platform::Stream> stream);
    void report(const platform::Error& error);

    std::shared_ptr<FrameSink> sink_;
    platform::ScreenCaptureService& screenCapture_;
    std::shared_ptr<platform::SerialQueue> frameQueue_;
    std::shared_ptr<platform::Stream> stream_;
    std::int64_t generation_ = 0;
    // Streams an overtaken capture is still stopping; shutdown waits for them too, woken when the last one stops.
    int overtakenStops_ = 0;
    std::vector<platform::Completion<bool>> overtakenStopsSettled_;
};

}  // namespace kestrova
