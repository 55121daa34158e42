// Capturing the companion's windows through the bridge: the frames' size and pixels, at twice the window and at
// its own size, a resize and a close mid-capture, and a window hidden when its capture starts.

#include "PrivateDesktop.hpp"
#include "RawXClient.hpp"
#include "x11/X11ScreenCapture.hpp"
#include "X11TestSupport.hpp"

#include "BridgeConstants.hpp"
#include "CaptureBridge.hpp"
#include "DemoPattern.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace kestrova;
using namespace kestrova::testing;

const std::string kPrefix = std::string(constants::kTitlePrefix) + " ";

class WindowCapture : public ::testing::Test {
protected:
    void SetUp() override {
        bridge_->onError = [this](const platform::Error& error) { errors_.push_back(error); };
    }
    void TearDown() override {
        EXPECT_TRUE(shutDown(loop_, bridge_, kBound));
    }

    // The companion's window of that name, as the provider lists it.
    platform::Window window(const std::string& name) {
        auto answer = listWindows(loop_, *service_);
        EXPECT_TRUE(answer.content);
        return answer.content ? titled(*answer.content, kPrefix + name) : nullptr;
    }
    bool framesReach(std::size_t count) {
        return loop_.runUntil([&] { return sink_->count() >= count; }, kBound);
    }
    bool errorArrives() {
        return loop_.runUntil([&] { return !errors_.empty(); }, kBound);
    }

    platform::ManualLoop loop_;
    std::shared_ptr<platform::ScreenCaptureService> service_ = platform::x11::makeX11ScreenCapture();
    std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
    std::shared_ptr<CaptureBridge> bridge_ = CaptureBridge::create(sink_, *service_);
    std::vector<platform::Error> errors_;
    Companion companion_;
};

// Every frame has this size; those from `from` on show the window's pattern with a counter that never goes back
// and moves on overall, over the window's own colour.
void expectFramesOf(const std::vector<SeenFrame>& frames, std::size_t from, std::uint32_t width,
                    std::uint32_t height, const std::string& name) {
    for (std::size_t i = 0; i < std::min(from, frames.size()); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        EXPECT_EQ(frames[i].width, width);
        EXPECT_EQ(frames[i].height, height);
    }
    expectAdvancingFrames(frames, from, width, height, demo::colorFor(name));
}

TEST_F(WindowCapture, FramesAreTwiceTheWindowAndShowWhatItDrew) {
    ASSERT_TRUE(companion_.command("open Uno 320 240"));
    const auto uno = window("Uno");
    ASSERT_TRUE(uno);
    bridge_->capture(uno);
    ASSERT_TRUE(framesReach(15));
    EXPECT_TRUE(errors_.empty());
    expectFramesOf(sink_->frames(), 0, 640, 480, "Uno");
}

TEST_F(WindowCapture, AResizedWindowKeepsTheConfiguredSize) {
    ASSERT_TRUE(companion_.command("open Uno 320 240"));
    const auto uno = window("Uno");
    ASSERT_TRUE(uno);
    bridge_->capture(uno);
    ASSERT_TRUE(framesReach(5));
    ASSERT_TRUE(companion_.command("resize Uno 400 300"));
    const std::size_t resizedAt = sink_->count();
    // A frame or two may show the window between its new size and the companion's first drawing at that size.
    ASSERT_TRUE(framesReach(resizedAt + 20));
    EXPECT_TRUE(errors_.empty());
    expectFramesOf(sink_->frames(), resizedAt + 5, 640, 480, "Uno");
}

TEST_F(WindowCapture, AWindowClosedMidCaptureStopsTheStreamWithAnError) {
    ASSERT_TRUE(companion_.command("open Uno 320 240"));
    const auto uno = window("Uno");
    ASSERT_TRUE(uno);
    bridge_->capture(uno);
    ASSERT_TRUE(framesReach(3));
    ASSERT_TRUE(companion_.command("close Uno"));
    ASSERT_TRUE(errorArrives());
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0].domain, platform::x11::kErrorDomain);
    EXPECT_EQ(errors_[0].code, static_cast<int>(platform::x11::ErrorCode::windowGone));
    EXPECT_FALSE(errors_[0].description.empty());
}

// Hidden when the bridge asks for it, the window is captured once it is shown: the start is no failure.
TEST_F(WindowCapture, AWindowHiddenWhenCaptureStartsIsCapturedOnceShown) {
    ASSERT_TRUE(companion_.command("open Oculta 320 240"));
    ASSERT_TRUE(companion_.command("unmap Oculta"));
    const auto hidden = window("Oculta");
    ASSERT_TRUE(hidden);
    bridge_->capture(hidden);
    ASSERT_TRUE(loop_.runUntil([&] { return bridge_->hasStream(); }, kBound));
    ASSERT_TRUE(companion_.command("map Oculta"));
    ASSERT_TRUE(framesReach(10));
    EXPECT_TRUE(errors_.empty());
    EXPECT_TRUE(bridge_->hasStream());
    // The first frames may show the window mapped before the companion has drawn it again.
    const auto frames = sink_->frames();
    const auto drawn = std::find_if(frames.begin(), frames.end(), [](const SeenFrame& f) { return f.counter; });
    ASSERT_TRUE(framesReach(static_cast<std::size_t>(drawn - frames.begin()) + 10));
    expectFramesOf(sink_->frames(), static_cast<std::size_t>(drawn - frames.begin()), 640, 480, "Oculta");
}

// On a desktop at scale 2 the frame is the window's own size, and the X server reads the picture straight into the
// frame's memory: what the companion drew, with opaque alpha, all the same.
TEST(WindowCaptureAtScaleTwo, FramesAreTheWindowsOwnPixels) {
    PrivateXServer server;
    const std::string display = server.display();
    ASSERT_FALSE(display.empty());
    RawXClient x(display);
    ASSERT_TRUE(x.connected());
    x.setRootText("RESOURCE_MANAGER", "Xft.dpi:\t192\n");
    x.sync();

    Companion companion(display);
    ASSERT_TRUE(companion.command("open Uno 320 240"));
    platform::ManualLoop loop;
    auto service = platform::x11::makeX11ScreenCapture(display);
    auto sink = std::make_shared<RecordingSink>();
    auto bridge = CaptureBridge::create(sink, *service);
    std::vector<platform::Error> errors;
    bridge->onError = [&](const platform::Error& error) { errors.push_back(error); };
    const auto listed = listWindows(loop, *service);
    ASSERT_TRUE(listed.content);
    const auto uno = titled(*listed.content, kPrefix + "Uno");
    ASSERT_TRUE(uno);
    bridge->capture(uno);
    EXPECT_TRUE(loop.runUntil([&] { return sink->count() >= 15; }, kBound));
    EXPECT_TRUE(errors.empty());
    const auto frames = sink->frames();
    expectFramesOf(frames, 0, 320, 240, "Uno");
    EXPECT_TRUE(std::all_of(frames.begin(), frames.end(), [](const SeenFrame& f) { return f.opaque; }));
    EXPECT_TRUE(shutDown(loop, bridge, kBound));
}

}  // namespace
