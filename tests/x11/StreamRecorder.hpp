#pragma once

// A stream of the provider driven on its own, without the bridge: its output and delegate recorded, its start and
// stop answered on the test's thread, the configuration the bridge would ask for.

#include "Dispatch.hpp"
#include "ScreenCapture.hpp"
#include "x11/X11ScreenCapture.hpp"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace kestrova::testing {

struct SeenSample {
    int type = -1;
    bool onQueue = false;
    bool complete = false;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t pixelFormat = 0;
    std::optional<std::uint32_t> counter;
};

// The output and the delegate of a stream: what each sample was, and every stop report.
class Recorder final : public platform::StreamOutput, public platform::StreamDelegate {
public:
    explicit Recorder(std::shared_ptr<platform::SerialQueue> queue) : queue_(std::move(queue)) {}

    void streamDidOutputSampleBuffer(platform::Stream&, const platform::SampleBuffer& sample, int type) override;
    void streamDidStopWithError(platform::Stream&, const platform::Error& error) override;

    bool waitForSamples(std::size_t count);
    // Waits for a sample after the first `after` whose counter is beyond `counter`.
    bool waitForCounterBeyond(std::size_t after, std::uint32_t counter);
    bool waitForStop();
    std::vector<SeenSample> samples() const;
    std::vector<platform::Error> stops() const;

private:
    std::shared_ptr<platform::SerialQueue> queue_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SeenSample> samples_;
    std::vector<platform::Error> stops_;
};

// The answer to one start or stop; nothing when the completion did not come within the bound.
using Outcome = std::optional<std::optional<platform::Error>>;

Outcome start(platform::Stream& stream);
Outcome stop(platform::Stream& stream);
bool succeeded(const Outcome& outcome);
bool failedWith(const Outcome& outcome, platform::x11::ErrorCode code);

// What the bridge asks for a window of this size: BGRA, at most 60 frames a second, depth 3, twice the size.
platform::StreamConfiguration configurationFor(double width, double height);
// A record that names the window and nothing else, as a filter needs.
std::shared_ptr<platform::WindowRecord> recordOf(std::uint32_t id);

}  // namespace kestrova::testing
