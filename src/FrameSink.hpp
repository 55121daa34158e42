#pragma once

#include "ScreenCapture.hpp"

#include <cstdint>
#include <mutex>
#include <string>

namespace kestrova {

// Where every captured frame leaves the system. publish() is called on the capture's serial frame queue, one
// call at a time; stop() on the main thread once that queue has drained.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Whether frames handed to the sink leave the process.
    virtual bool isAvailable() const = 0;
    virtual const std::string& name() const = 0;
    // Takes one frame; a frame the sink cannot handle is dropped without a report.
    virtual void publish(const platform::PixelBufferRef& pixelBuffer) = 0;
    virtual void stop() = 0;
};

// The fallback sink when frames cannot be published: it only counts them.
class DiagnosticFrameSink final : public FrameSink {
public:
    DiagnosticFrameSink();

    bool isAvailable() const override { return false; }
    const std::string& name() const override { return name_; }
    void publish(const platform::PixelBufferRef& pixelBuffer) override;
    // Nothing to stop: later frames are still counted.
    void stop() override {}

    std::int64_t frameCount() const;

private:
    const std::string name_;
    mutable std::mutex lock_;
    std::int64_t frameCount_ = 0;
};

}  // namespace kestrova
