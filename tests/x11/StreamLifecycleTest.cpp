// Streams of the provider on their own, without the bridge: every start and stop answered once, frames complete
// and on the queue given, a window that goes away or is hidden and shown again, starts that cannot work, a display
// that dies, and nothing left behind once a stream has ended.

#include "RawXClient.hpp"
#include "StreamRecorder.hpp"
#include "x11/X11ScreenCapture.hpp"
#include "X11TestSupport.hpp"

#include "BridgeConstants.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <fstream>
#include <ostream>

namespace {

using namespace kestrova;
using namespace kestrova::testing;
using platform::x11::ErrorCode;

const std::string kPrefix = std::string(constants::kTitlePrefix) + " ";

// Open descriptors, and mappings of capture memory (the provider's segments and the frames' memfds).
std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}
std::size_t captureMappings() {
    std::ifstream maps("/proc/self/maps");
    std::size_t count = 0;
    for (std::string line; std::getline(maps, line);) {
        if (line.find("kestrova-x11-capture") != std::string::npos || line.find("kestrova-frame") != std::string::npos)
            ++count;
    }
    return count;
}

class StreamLifecycle : public ::testing::Test {
protected:
    // The companion's window of that name, as the provider lists it.
    std::uint32_t companionWindow(const std::string& name) {
        const auto answer = listWindows(loop_, *service_);
        const auto window = answer.content ? titled(*answer.content, kPrefix + name) : nullptr;
        return window ? window->windowID : 0;
    }
    std::shared_ptr<platform::Stream> streamOf(std::uint32_t id, const platform::StreamConfiguration& configuration) {
        auto stream = service_->makeStream(platform::ContentFilter(recordOf(id)), configuration, recorder_);
        EXPECT_FALSE(stream->addStreamOutput(recorder_, constants::kStreamOutputTypeScreen, queue_));
        return stream;
    }
    // Every sample already handed to the queue has been delivered.
    void drainQueue() {
        std::promise<void> drained;
        queue_->async([&] { drained.set_value(); });
        drained.get_future().wait_for(kBound);
    }

    platform::ManualLoop loop_;
    std::shared_ptr<platform::ScreenCaptureService> service_ = platform::x11::makeX11ScreenCapture();
    std::shared_ptr<platform::SerialQueue> queue_ =
        std::make_shared<platform::SerialQueue>("org.kestrova.tests.x11.samples");
    std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>(queue_);
    Companion companion_;
};

TEST_F(StreamLifecycle, EachRequestIsAnsweredOnceAndFramesArriveCompleteOnTheGivenQueue) {
    ASSERT_TRUE(companion_.command("open Uno 160 120"));
    const auto id = companionWindow("Uno");
    ASSERT_NE(id, 0u);
    auto stream = streamOf(id, configurationFor(160, 120));

    EXPECT_TRUE(failedWith(stop(*stream), ErrorCode::invalidRequest)) << "a stop before any start is refused";
    ASSERT_TRUE(succeeded(start(*stream)));
    ASSERT_TRUE(recorder_->waitForSamples(5));
    EXPECT_TRUE(failedWith(start(*stream), ErrorCode::invalidRequest)) << "a second start is refused";
    ASSERT_TRUE(succeeded(stop(*stream)));
    EXPECT_TRUE(failedWith(stop(*stream), ErrorCode::invalidRequest)) << "a stop of a stopped stream is refused";

    drainQueue();
    for (const auto& s : recorder_->samples()) {
        EXPECT_EQ(s.type, constants::kStreamOutputTypeScreen);
        EXPECT_TRUE(s.onQueue);
        EXPECT_TRUE(s.complete);
        EXPECT_EQ(s.width, 320u);
        EXPECT_EQ(s.height, 240u);
        EXPECT_EQ(s.pixelFormat, constants::kPixelFormatBGRA);
        EXPECT_TRUE(s.counter);
    }
    EXPECT_TRUE(recorder_->stops().empty()) << "a requested stop is not reported as an error";
}

TEST_F(StreamLifecycle, AWindowClosedWhileCapturedIsReportedOnceAndItsStreamStopsOnce) {
    ASSERT_TRUE(companion_.command("open Uno 160 120"));
    auto stream = streamOf(companionWindow("Uno"), configurationFor(160, 120));
    ASSERT_TRUE(succeeded(start(*stream)));
    ASSERT_TRUE(recorder_->waitForSamples(2));
    ASSERT_TRUE(companion_.command("close Uno"));
    ASSERT_TRUE(recorder_->waitForStop());
    ASSERT_EQ(recorder_->stops().size(), 1u);
    EXPECT_EQ(recorder_->stops()[0].code, static_cast<int>(ErrorCode::windowGone));
    // Stopping a stream that ended on its own succeeds, so that the bridge can go on to another window.
    EXPECT_TRUE(succeeded(stop(*stream)));
    EXPECT_TRUE(failedWith(stop(*stream), ErrorCode::invalidRequest));
}

// Hidden, the window's pixmap freezes; shown again, the stream must take the new one and not repeat the old.
TEST_F(StreamLifecycle, AWindowHiddenAndShownAgainGoesOnWithNewFrames) {
    ASSERT_TRUE(companion_.command("open Uno 160 120"));
    auto stream = streamOf(companionWindow("Uno"), configurationFor(160, 120));
    ASSERT_TRUE(succeeded(start(*stream)));
    ASSERT_TRUE(recorder_->waitForSamples(3));
    ASSERT_TRUE(companion_.command("unmap Uno"));
    drainQueue();
    const auto before = recorder_->samples();
    ASSERT_TRUE(before.back().counter);
    ASSERT_TRUE(companion_.command("map Uno"));
    EXPECT_TRUE(recorder_->waitForCounterBeyond(before.size(), *before.back().counter));
    EXPECT_TRUE(recorder_->stops().empty());
    EXPECT_TRUE(succeeded(stop(*stream)));
}

enum class Ending { requested, windowClosed };
void PrintTo(Ending e, std::ostream* out) { *out << (e == Ending::requested ? "requested" : "window closed"); }

class StreamEnding : public StreamLifecycle, public ::testing::WithParamInterface<Ending> {};

TEST_P(StreamEnding, LeavesNoDescriptorOrCaptureMemoryBehind) {
    ASSERT_TRUE(companion_.command("open Uno 160 120"));
    const auto id = companionWindow("Uno");
    ASSERT_NE(id, 0u);
    const std::size_t descriptors = openDescriptors();
    {
        auto stream = streamOf(id, configurationFor(160, 120));
        ASSERT_TRUE(succeeded(start(*stream)));
        ASSERT_TRUE(recorder_->waitForSamples(3));
        EXPECT_GT(captureMappings(), 0u);
        if (GetParam() == Ending::windowClosed) {
            ASSERT_TRUE(companion_.command("close Uno"));
            ASSERT_TRUE(recorder_->waitForStop());
        }
        ASSERT_TRUE(succeeded(stop(*stream)));
        drainQueue();
    }
    // The capture thread lets go of its last share just after it has answered.
    EXPECT_TRUE(loop_.runUntil([&] { return openDescriptors() == descriptors && captureMappings() == 0; }, kBound))
        << openDescriptors() << " descriptors, were " << descriptors << "; " << captureMappings() << " mappings";
}

INSTANTIATE_TEST_SUITE_P(Endings, StreamEnding, ::testing::Values(Ending::requested, Ending::windowClosed),
                         [](const auto& info) {
                             return std::string(info.param == Ending::requested ? "requested" : "window_closed");
                         });

struct RefusedCase {
    const char* name;
    ErrorCode code;
    // The window to capture and the configuration to ask for.
    std::function<std::pair<std::uint32_t, platform::StreamConfiguration>(RawXClient&)> make;
};
void PrintTo(const RefusedCase& c, std::ostream* out) { *out << c.name; }

class RefusedStart : public StreamLifecycle, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedStart, FailsWithAPlainErrorAndTheStreamStopsOnce) {
    RawXClient x;
    ASSERT_TRUE(x.connected());
    const auto [id, configuration] = GetParam().make(x);
    x.sync();
    auto stream = streamOf(id, configuration);
    EXPECT_TRUE(failedWith(start(*stream), GetParam().code));
    EXPECT_TRUE(succeeded(stop(*stream)));
    EXPECT_TRUE(failedWith(stop(*stream), ErrorCode::invalidRequest));
    EXPECT_TRUE(recorder_->samples().empty());
    EXPECT_TRUE(recorder_->stops().empty());
}

std::pair<std::uint32_t, platform::StreamConfiguration> shownWindow(RawXClient& x,
                                                                    platform::StreamConfiguration configuration) {
    const xcb_window_t w = x.createWindow(64, 48);
    xcb_map_window(x.get(), w);
    return {w, configuration};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedStart,
    ::testing::Values(
        RefusedCase{"not_bgra", ErrorCode::invalidRequest,
                    [](RawXClient& x) {
                        auto c = configurationFor(64, 48);
                        c.setPixelFormat(0x34323076);  // '420v'
                        return shownWindow(x, c);
                    }},
        RefusedCase{"empty_output", ErrorCode::invalidRequest,
                    [](RawXClient& x) {
                        auto c = configurationFor(64, 48);
                        c.setWidth(0);
                        return shownWindow(x, c);
                    }},
        RefusedCase{"destroyed_window", ErrorCode::windowGone,
                    [](RawXClient& x) {
                        const xcb_window_t w = x.createWindow(64, 48);
                        xcb_destroy_window(x.get(), w);
                        return std::pair{w, configurationFor(64, 48)};
                    }},
        RefusedCase{"input_only_window", ErrorCode::unsupportedWindow,
                    [](RawXClient& x) {
                        const xcb_window_t w = x.createWindow(64, 48, false, true);
                        xcb_map_window(x.get(), w);
                        return std::pair{w, configurationFor(64, 48)};
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

// The window is the test's own: a companion would go down with the display.
TEST(StreamOnALostDisplay, EndsWithAnErrorThatNamesTheDisplayAndStillStops) {
    PrivateXServer server;
    ASSERT_FALSE(server.display().empty());
    RawXClient x(server.display());
    ASSERT_TRUE(x.connected());
    const xcb_window_t window = x.createWindow(96, 64);
    xcb_map_window(x.get(), window);
    x.sync();
    const auto service = platform::x11::makeX11ScreenCapture(server.display());
    auto queue = std::make_shared<platform::SerialQueue>("org.kestrova.tests.x11.samples");
    auto recorder = std::make_shared<Recorder>(queue);
    auto stream = service->makeStream(platform::ContentFilter(recordOf(window)), configurationFor(96, 64), recorder);
    ASSERT_FALSE(stream->addStreamOutput(recorder, constants::kStreamOutputTypeScreen, queue));
    ASSERT_TRUE(succeeded(start(*stream)));
    ASSERT_TRUE(recorder->waitForSamples(1));

    ASSERT_TRUE(server.kill());
    ASSERT_TRUE(recorder->waitForStop());
    const auto report = recorder->stops().front();
    EXPECT_EQ(report.code, static_cast<int>(ErrorCode::connectionLost));
    EXPECT_NE(report.description.find("\"" + server.display() + "\""), std::string::npos) << report.description;
    EXPECT_TRUE(succeeded(stop(*stream)));
}

}  // namespace
