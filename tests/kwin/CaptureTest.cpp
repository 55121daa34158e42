// Capturing the companion's native Wayland windows through the bridge: frames twice the window's size whose pixels
// show its advancing counter, a retitle and a close mid-capture, a window the compositor never listed, and a
// compositor that dies mid-capture.

#include "kwin/KWinScreenCapture.hpp"
#include "KWinTestSupport.hpp"

#include "CaptureBridge.hpp"
#include "WaitUntil.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>

namespace {

using namespace kestrova;
using namespace kestrova::testing;

const std::string kPrefix = "Kestrova Output | ";

class KWinCapture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(useTestCompositor().empty()) << "the test script starts KWin";
        service_ = platform::kwin::makeKWinScreenCapture();
        bridge_ = CaptureBridge::create(sink_, *service_);
        bridge_->onError = [this](const platform::Error& error) { errors_.push_back(error); };
        companion_ = std::make_unique<WaylandCompanion>();
    }
    void TearDown() override {
        if (!bridge_) return;
        EXPECT_TRUE(shutDown(loop_, bridge_, kWaitBound));
    }

    platform::Window window(const std::string& title) {
        const auto answer = listUntil(loop_, *service_, [&](const auto& c) { return titled(c, title) != nullptr; });
        return answer.content ? titled(*answer.content, title) : nullptr;
    }
    bool framesReach(std::size_t count) {
        return loop_.runUntil([&] { return sink_->count() >= count; }, kWaitBound);
    }
    bool errorArrives() {
        return loop_.runUntil([&] { return !errors_.empty(); }, kWaitBound);
    }
    platform::ManualLoop loop_;
    std::shared_ptr<platform::ScreenCaptureService> service_;
    std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
    std::shared_ptr<CaptureBridge> bridge_;
    std::vector<platform::Error> errors_;
    std::unique_ptr<WaylandCompanion> companion_;
};

TEST_F(KWinCapture, FramesAreTwiceTheWindowAndShowItsCounterThroughARetitle) {
    ASSERT_TRUE(companion_->command("open Captura 320 240"));
    const auto captured = window(kPrefix + "Captura");
    ASSERT_TRUE(captured);
    bridge_->capture(captured);
    ASSERT_TRUE(framesReach(10));
    ASSERT_TRUE(companion_->command("retitle Captura Kestrova Output | Otra"));
    const std::size_t retitledAt = sink_->count();
    ASSERT_TRUE(framesReach(retitledAt + 10));
    EXPECT_TRUE(errors_.empty());
    expectAdvancingFrames(sink_->frames(), 0, 640, 480);
}

TEST_F(KWinCapture, AResizedWindowIsRenegotiatedAndKeepsTheConfiguredSize) {
    ASSERT_TRUE(companion_->command("open Medida 320 240"));
    const auto captured = window(kPrefix + "Medida");
    ASSERT_TRUE(captured);
    bridge_->capture(captured);
    ASSERT_TRUE(framesReach(5));
    ASSERT_TRUE(companion_->command("resize Medida 400 300"));
    const std::size_t resizedAt = sink_->count();
    // A frame or two may still show the window at its old size while the stream's format changes.
    ASSERT_TRUE(framesReach(resizedAt + 15));
    EXPECT_TRUE(errors_.empty());
    expectAdvancingFrames(sink_->frames(), resizedAt + 3, 640, 480);
}

TEST_F(KWinCapture, AWindowClosedMidCaptureStopsTheStreamWithAnError) {
    ASSERT_TRUE(companion_->command("open Cierre 320 240"));
    const auto captured = window(kPrefix + "Cierre");
    ASSERT_TRUE(captured);
    bridge_->capture(captured);
    ASSERT_TRUE(framesReach(3));
    ASSERT_TRUE(companion_->command("close Cierre"));
    ASSERT_TRUE(errorArrives());
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0].domain, platform::kwin::kErrorDomain);
    EXPECT_EQ(errors_[0].code, static_cast<int>(platform::kwin::ErrorCode::windowGone));
    EXPECT_EQ(errors_[0].description, "La ventana capturada se cerró");
}

TEST_F(KWinCapture, AWindowTheCompositorNeverListedCannotBeStarted) {
    auto unknown = std::make_shared<platform::WindowRecord>();
    unknown->windowID = 0xFFFF0000u;
    unknown->title = kPrefix + "Desconocida";
    unknown->frame = platform::Rect{0, 0, 100, 100};
    bridge_->capture(unknown);
    ASSERT_TRUE(errorArrives());
    EXPECT_EQ(errors_[0].domain, platform::kwin::kErrorDomain);
    EXPECT_EQ(errors_[0].code, static_cast<int>(platform::kwin::ErrorCode::windowGone));
    EXPECT_EQ(sink_->count(), 0u);
}

TEST_F(KWinCapture, ACompositorThatDiesEndsTheCaptureAndTheListingSaysSo) {
    PrivateKWin kwin;
    ASSERT_FALSE(kwin.socket().empty());
    setenv("WAYLAND_DISPLAY", kwin.socket().c_str(), 1);
    struct BackToTheTestCompositor {
        ~BackToTheTestCompositor() { useTestCompositor(); }
    } restore;
    ASSERT_TRUE(waitUntil([] { return platform::kwin::sessionOffersWindowCapture(); }, kWaitBound));
    WaylandCompanion companion(kwin.socket());
    ASSERT_TRUE(companion.command("open Caida 320 240"));
    const auto captured = window(kPrefix + "Caida");
    ASSERT_TRUE(captured);
    bridge_->capture(captured);
    ASSERT_TRUE(framesReach(3));

    ASSERT_TRUE(kwin.kill());
    EXPECT_TRUE(companion.ends());
    ASSERT_TRUE(errorArrives());
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0].domain, platform::kwin::kErrorDomain);
    EXPECT_EQ(errors_[0].code, static_cast<int>(platform::kwin::ErrorCode::connectionLost));
    const auto answer = listWindows(loop_, *service_);
    ASSERT_TRUE(answer.error);
    EXPECT_EQ(answer.error->domain, platform::kwin::kErrorDomain);
    EXPECT_FALSE(answer.error->description.empty());
}

}  // namespace
