#pragma once

// What the capture providers' end-to-end tests share: listing and shutting the bridge down on a manual main loop,
// a sink that records what each frame shows, and the check that frames keep their size and show the window's
// advancing counter.

#include "CaptureBridge.hpp"
#include "Dispatch.hpp"
#include "FrameSink.hpp"
#include "ScreenCapture.hpp"
#include "scripted/ManualLoop.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::testing {

inline constexpr std::chrono::milliseconds kListingBound{15000};

// One shareable-content query run to its completion on the loop; an error answer when none came within the bound.
platform::ShareableContentAnswer listWindows(platform::ManualLoop& loop, platform::ScreenCaptureService& service,
                                             std::chrono::milliseconds bound = kListingBound);

// Lists again until the predicate holds of the content or the bound passes; gives the last answer.
platform::ShareableContentAnswer listUntil(platform::ManualLoop& loop, platform::ScreenCaptureService& service,
                                           const std::function<bool(const platform::ShareableContent&)>& done,
                                           std::chrono::milliseconds bound = kListingBound);

// The listed window with exactly this title, or nothing.
platform::Window titled(const platform::ShareableContent& content, const std::string& title);

// Shuts the bridge down on the loop; true once that has finished within the bound.
bool shutDown(platform::ManualLoop& loop, std::shared_ptr<CaptureBridge> bridge, std::chrono::milliseconds bound);

// What the sink saw of one frame: its size, the counter its pixels show, the colour of its body and whether every
// pixel is opaque.
struct SeenFrame {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::optional<std::uint32_t> counter;
    std::uint32_t body = 0;
    bool opaque = true;
};

class RecordingSink final : public FrameSink {
public:
    bool isAvailable() const override { return true; }
    const std::string& name() const override { return name_; }
    void publish(const platform::PixelBufferRef& buffer) override;
    void stop() override {}

    std::vector<SeenFrame> frames() const;
    std::size_t count() const;

private:
    const std::string name_ = "recording";
    mutable std::mutex mutex_;
    std::vector<SeenFrame> frames_;
};

// Frames from `from` on are width × height and show a counter that never goes back and moves on overall; given a
// body colour, they show it too.
void expectAdvancingFrames(const std::vector<SeenFrame>& frames, std::size_t from, std::uint32_t width,
                           std::uint32_t height, std::optional<std::uint32_t> body = std::nullopt);

}  // namespace kestrova::testing
