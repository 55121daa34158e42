// Windows that have no picture when their capture starts: hidden by their client, never shown, inside a parent
// that is not shown, on another desktop of a window manager, or not yet shown by the manager that is framing them.
// The start succeeds, the stream waits without a word, and frames come once the window is on screen.

#include "RawXClient.hpp"
#include "StreamRecorder.hpp"
#include "x11/X11ScreenCapture.hpp"
#include "X11TestSupport.hpp"
#include "WaitUntil.hpp"

#include "BridgeConstants.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

namespace {

using namespace kestrova;
using namespace kestrova::testing;

const std::string kPrefix = std::string(constants::kTitlePrefix) + " ";

// Starts a stream of the hidden window, shows the window and waits for its frames; with `drawn`, they must show
// the companion's counter moving on.
void expectCapturedOnceShown(platform::ScreenCaptureService& service, std::uint32_t id,
                             const std::function<void()>& show, bool drawn) {
    ASSERT_NE(id, 0u) << "the window was not listed";
    auto queue = std::make_shared<platform::SerialQueue>("org.kestrova.tests.x11.samples");
    auto recorder = std::make_shared<Recorder>(queue);
    auto stream = service.makeStream(platform::ContentFilter(recordOf(id)), configurationFor(160, 120), recorder);
    ASSERT_FALSE(stream->addStreamOutput(recorder, constants::kStreamOutputTypeScreen, queue));
    ASSERT_TRUE(succeeded(start(*stream)));
    EXPECT_TRUE(recorder->samples().empty()) << "a window without a picture gave frames";

    show();
    // A window that draws nothing is damaged once, by the server painting its background.
    ASSERT_TRUE(recorder->waitForSamples(drawn ? 3 : 1));
    if (drawn) {
        // The first frames may show the window before its client has drawn it again; then the counter moves on.
        ASSERT_TRUE(recorder->waitForCounterBeyond(0, 0));
        const auto seen = recorder->samples();
        const auto counted = std::find_if(seen.begin(), seen.end(), [](const SeenSample& s) { return s.counter; });
        ASSERT_NE(counted, seen.end());
        EXPECT_TRUE(recorder->waitForCounterBeyond(seen.size(), *counted->counter));
    }
    EXPECT_TRUE(recorder->stops().empty());
    EXPECT_TRUE(succeeded(stop(*stream)));
}

std::uint32_t listedId(platform::ManualLoop& loop, platform::ScreenCaptureService& service, const std::string& name) {
    const auto answer =
        listUntil(loop, service, [&](const platform::ShareableContent& c) { return titled(c, kPrefix + name) != nullptr; });
    const auto window = answer.content ? titled(*answer.content, kPrefix + name) : nullptr;
    return window ? window->windowID : 0;
}

class HiddenAtStart : public ::testing::Test {
protected:
    platform::ManualLoop loop_;
    std::shared_ptr<platform::ScreenCaptureService> service_ = platform::x11::makeX11ScreenCapture();
};

TEST_F(HiddenAtStart, AWindowItsClientUnmappedIsCapturedOnceMappedAgain) {
    Companion companion;
    ASSERT_TRUE(companion.command("open Uno 160 120"));
    ASSERT_TRUE(companion.command("unmap Uno"));
    expectCapturedOnceShown(*service_, listedId(loop_, *service_, "Uno"),
                            [&] { ASSERT_TRUE(companion.command("map Uno")); }, true);
}

TEST_F(HiddenAtStart, AWindowNeverMappedIsCapturedOnceMapped) {
    RawXClient x;
    ASSERT_TRUE(x.connected());
    const xcb_window_t window = x.createWindow(64, 48);
    x.sync();
    expectCapturedOnceShown(*service_, window, [&] {
        xcb_map_window(x.get(), window);
        x.sync();
    }, false);
}

// A mapped window whose parent is not: no event of its own says when it comes on screen.
TEST_F(HiddenAtStart, AWindowInsideAnUnmappedParentIsCapturedOnceTheParentIsMapped) {
    RawXClient x;
    ASSERT_TRUE(x.connected());
    const xcb_window_t parent = x.createWindow(80, 60);
    const xcb_window_t window = x.createWindow(64, 48);
    xcb_reparent_window(x.get(), window, parent, 0, 0);
    xcb_map_window(x.get(), window);
    x.sync();
    expectCapturedOnceShown(*service_, window, [&] {
        xcb_map_window(x.get(), parent);
        x.sync();
    }, false);
}

// The same under openbox, on an X server of the test's own.
class HiddenUnderAWindowManager : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(server_.display().empty());
        ASSERT_TRUE(openbox_.ready()) << openbox_.errors();
        // Started once the manager runs: a window mapped before it took over would never be framed.
        companion_.emplace(server_.display());
    }

    platform::ManualLoop loop_;
    PrivateXServer server_;
    Openbox openbox_{server_.display()};
    std::optional<Companion> companion_;
    std::shared_ptr<platform::ScreenCaptureService> service_ = platform::x11::makeX11ScreenCapture(server_.display());
};

TEST_F(HiddenUnderAWindowManager, AWindowOnAnotherDesktopIsCapturedOnceThatDesktopIsShown) {
    ASSERT_TRUE(companion_->command("open Uno 160 120"));
    ASSERT_TRUE(waitUntil([&] { return viewable(server_.display(), kPrefix + "Uno"); }, kBound));
    ASSERT_TRUE(openbox_.sendToDesktop(kPrefix + "Uno", 1));
    ASSERT_TRUE(waitUntil([&] { return !viewable(server_.display(), kPrefix + "Uno"); }, kBound));
    expectCapturedOnceShown(*service_, listedId(loop_, *service_, "Uno"),
                            [&] { ASSERT_TRUE(openbox_.showDesktop(1)); }, true);
}

// A window listed while its manager has not yet framed and shown it: the start must not fail for good.
TEST_F(HiddenUnderAWindowManager, AWindowListedBeforeTheManagerShowsItIsCapturedOnceShown) {
    openbox_.pause();
    ASSERT_TRUE(companion_->command("open Uno 160 120"));
    EXPECT_FALSE(viewable(server_.display(), kPrefix + "Uno"));
    expectCapturedOnceShown(*service_, listedId(loop_, *service_, "Uno"), [&] { openbox_.resume(); }, true);
}

}  // namespace
