// Casting the companion's native Wayland windows through Mutter's ScreenCast: a node for a window with a size,
// frames twice the window's size whose pixels show its advancing counter, a close and the user's Stop mid-capture,
// a window that has not drawn yet, and the pure rules that cut a window out of the cast picture.

#include "gnome/GnomeScreenCapture.hpp"
#include "GnomeTestSupport.hpp"
#include "common/PipeWireInput.hpp"
#include "gnome/ScreenCastSession.hpp"
#include "gnome/WindowStream.hpp"

#include "CaptureBridge.hpp"
#include "common/CaptureThread.hpp"
#include "WaitUntil.hpp"
#include "ProgramPaths.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>

namespace {

using namespace kestrova;
using namespace kestrova::testing;
namespace gnome = platform::gnome;

const std::string kPrefix = "Kestrova Output | ";

class GnomeCapture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(useTestShell()) << "the test script starts GNOME Shell";
        shell_.emplace();
        service_ = gnome::makeGnomeScreenCapture();
        bridge_ = CaptureBridge::create(sink_, *service_);
        bridge_->onError = [this](const platform::Error& error) { errors_.push_back(error); };
        companion_ = std::make_unique<GnomeCompanion>();
    }
    void TearDown() override {
        if (bridge_) {
            EXPECT_TRUE(shutDown(loop_, bridge_, kWaitBound));
        }
        if (shell_) {
            EXPECT_TRUE(shell_->shellRuns());
        }
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
    void expectOneError(gnome::ErrorCode code, const std::string& description) {
        ASSERT_EQ(errors_.size(), 1u);
        EXPECT_EQ(errors_[0].domain, gnome::kErrorDomain);
        EXPECT_EQ(errors_[0].code, static_cast<int>(code));
        EXPECT_EQ(errors_[0].description, description);
    }

    platform::ManualLoop loop_;
    std::optional<ShellProbe> shell_;  // on the shell's bus, once the test has made it its own
    std::shared_ptr<platform::ScreenCaptureService> service_;
    std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
    std::shared_ptr<CaptureBridge> bridge_;
    std::vector<platform::Error> errors_;
    std::unique_ptr<GnomeCompanion> companion_;
};

TEST_F(GnomeCapture, MutterNamesANodeForAWindowWithASize) {
    ASSERT_TRUE(companion_->command("open Nodo 320 240"));
    const auto shown = shell_->await(kPrefix + "Nodo");
    ASSERT_TRUE(shown);
    auto connected = gnome::BusConnection::connect();
    ASSERT_TRUE(std::holds_alternative<gnome::BusConnection>(connected));
    const auto& bus = std::get<gnome::BusConnection>(connected);
    auto recorded = gnome::ScreenCastSession::record(bus.get(), shown->id);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<gnome::ScreenCastSession>>(recorded))
        << std::get<platform::Error>(recorded).description;
    auto& session = *std::get<std::unique_ptr<gnome::ScreenCastSession>>(recorded);
    EXPECT_TRUE(waitUntil(
        [&] {
            session.dispatch();
            return session.node().has_value();
        },
        kWaitBound));
    EXPECT_EQ(shell_->castSessions().size(), 1u);
    EXPECT_FALSE(session.closed());
}

TEST_F(GnomeCapture, FramesAreTwiceTheWindowAndShowItsCounter) {
    ASSERT_TRUE(companion_->command("open Captura 320 240"));
    ASSERT_TRUE(shell_->await(kPrefix + "Captura"));
    const auto captured = window(kPrefix + "Captura");
    ASSERT_TRUE(captured);
    bridge_->capture(captured);
    ASSERT_TRUE(framesReach(10));
    EXPECT_TRUE(errors_.empty());
    expectAdvancingFrames(sink_->frames(), 0, 640, 480);
}

TEST_F(GnomeCapture, AWindowClosedMidCaptureStopsTheStreamWithAnError) {
    ASSERT_TRUE(companion_->command("open Cierre 320 240"));
    ASSERT_TRUE(shell_->await(kPrefix + "Cierre"));
    bridge_->capture(window(kPrefix + "Cierre"));
    ASSERT_TRUE(framesReach(3));
    ASSERT_TRUE(companion_->command("close Cierre"));
    ASSERT_TRUE(errorArrives());
    expectOneError(gnome::ErrorCode::windowGone, "La ventana capturada se cerró");
}

TEST_F(GnomeCapture, TheUsersStopFromTheShellEndsTheCaptureWithAnError) {
    ASSERT_TRUE(companion_->command("open Parada 320 240"));
    ASSERT_TRUE(shell_->await(kPrefix + "Parada"));
    bridge_->capture(window(kPrefix + "Parada"));
    ASSERT_TRUE(framesReach(3));
    ASSERT_EQ(shell_->stopEveryCast(), 1u);
    ASSERT_TRUE(errorArrives());
    expectOneError(gnome::ErrorCode::stoppedFromShell, "La captura de la ventana se detuvo desde GNOME Shell");
}

// Keeps the four corner pixels (0xRRGGBB) of the last frame.
class CornerSink final : public FrameSink {
public:
    bool isAvailable() const override { return true; }
    const std::string& name() const override { return name_; }
    void publish(const platform::PixelBufferRef& buffer) override {
        const auto pixel = [&](std::uint32_t x, std::uint32_t y) {
            const std::uint8_t* p = buffer->bytes() + y * buffer->bytesPerRow() + std::size_t{x} * 4;
            return std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
        };
        const std::uint32_t right = buffer->width() - 1, bottom = buffer->height() - 1;
        std::lock_guard lock(mutex_);
        corners_ = {pixel(0, 0), pixel(right, 0), pixel(0, bottom), pixel(right, bottom)};
        size_ = {buffer->width(), buffer->height()};
        ++count_;
    }
    void stop() override {}

    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    std::array<std::uint32_t, 4> corners() const {
        std::lock_guard lock(mutex_);
        return corners_;
    }
    std::pair<std::uint32_t, std::uint32_t> size() const {
        std::lock_guard lock(mutex_);
        return size_;
    }

private:
    const std::string name_ = "corners";
    mutable std::mutex mutex_;
    std::array<std::uint32_t, 4> corners_{};
    std::pair<std::uint32_t, std::uint32_t> size_;
    std::size_t count_ = 0;
};

// A GTK 4 window draws its shadow around itself; Mutter casts both, and the capture shows only the window. Its
// one colour reaches every corner of the frame (the shadow, or black bars around it, would not).
TEST(GnomeShadow, AGtk4WindowIsCapturedWithoutItsShadow) {
    ASSERT_TRUE(useTestShell()) << "the test script starts GNOME Shell";
    ShellProbe shell;
    ChildProcess::Options options;
    options.environment = {{"GDK_BACKEND", "wayland"}, {"GSK_RENDERER", "cairo"}};
    options.unsetEnvironment = {"DISPLAY"};
    ChildProcess gtk({"gjs", kestrova::testing::paths::gtk4Window, kPrefix + "Sombra", "rgb(48,112,192)"}, options);
    const auto shown = shell.await(kPrefix + "Sombra");
    ASSERT_TRUE(shown);
    ASSERT_GT(shown->buffer.width, shown->frame.width) << "the window draws a shadow";

    auto service = gnome::makeGnomeScreenCapture();
    platform::ManualLoop loop;
    auto sink = std::make_shared<CornerSink>();
    auto bridge = CaptureBridge::create(sink, *service);
    std::vector<platform::Error> errors;
    bridge->onError = [&](const platform::Error& error) { errors.push_back(error); };
    const auto answer =
        listUntil(loop, *service, [](const auto& c) { return titled(c, kPrefix + "Sombra") != nullptr; });
    ASSERT_TRUE(answer.content);
    bridge->capture(titled(*answer.content, kPrefix + "Sombra"));
    // Frames bring nothing to the loop: it is run while the sink is watched.
    EXPECT_TRUE(waitUntil(
        [&] {
            loop.runUntilIdle();
            return sink->count() >= 3;
        },
        kWaitBound));
    EXPECT_TRUE(shutDown(loop, bridge, kWaitBound));
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(sink->size(), std::pair(640u, 480u));
    for (const std::uint32_t corner : sink->corners()) {
        const int r = corner >> 16, g = (corner >> 8) & 0xFF, b = corner & 0xFF;
        EXPECT_LE(std::abs(r - 48) + std::abs(g - 112) + std::abs(b - 192), 12) << std::hex << corner;
    }
}

// Counts what a stream delivers, on its own queue.
class CountingOutput final : public platform::StreamOutput {
public:
    void streamDidOutputSampleBuffer(platform::Stream&, const platform::SampleBuffer& sample, int) override {
        std::lock_guard lock(mutex_);
        sizes_.emplace_back(sample.imageBuffer->width(), sample.imageBuffer->height());
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes() const {
        std::lock_guard lock(mutex_);
        return sizes_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes_;
};

// Mutter 43 crashes when a window that has not drawn is cast and read: a stream asked for such a window (listed
// with a size by an earlier query, say) starts only once the window has one.
TEST_F(GnomeCapture, AWindowThatJustMappedIsCastOnlyOnceItHasASize) {
    ASSERT_TRUE(companion_->command("announce Naciente 320 240"));
    const auto announced = shell_->await(kPrefix + "Naciente", false);
    ASSERT_TRUE(announced);
    ASSERT_FALSE(announced->sized());

    platform::StreamConfiguration configuration;
    configuration.setPixelFormat(platform::kPixelFormatBGRA);
    configuration.setWidth(640);
    configuration.setHeight(480);
    configuration.setMinimumFrameInterval({1, 60});
    configuration.setQueueDepth(3);
    auto stream = gnome::makeWindowStream(announced->id, configuration, {}, {});
    auto output = std::make_shared<CountingOutput>();
    ASSERT_FALSE(stream->addStreamOutput(output, 0, std::make_shared<platform::SerialQueue>(
                                                        "org.kestrova.test.frames", platform::QueuePriority::normal)));
    std::mutex mutex;
    std::optional<std::optional<platform::Error>> started;
    stream->startCapture([&](std::optional<platform::Error> error) {
        std::lock_guard lock(mutex);
        started = std::move(error);
    });
    ASSERT_TRUE(companion_->command("map Naciente"));
    ASSERT_TRUE(waitUntil([&] { return output->sizes().size() >= 5; }, kWaitBound));
    {
        std::lock_guard lock(mutex);
        ASSERT_TRUE(started);
        EXPECT_FALSE(*started);
    }
    for (const auto& size : output->sizes()) EXPECT_EQ(size, std::pair(640u, 480u));
    std::atomic<bool> stopped = false;
    stream->stopCapture([&](std::optional<platform::Error>) { stopped = true; });
    EXPECT_TRUE(waitUntil([&] { return stopped.load(); }, kWaitBound));
}

TEST_F(GnomeCapture, AWindowTheShellNeverListedCannotBeStarted) {
    auto unknown = std::make_shared<platform::WindowRecord>();
    unknown->windowID = 0xFFFF0000u;
    unknown->title = kPrefix + "Desconocida";
    unknown->frame = platform::Rect{0, 0, 100, 100};
    bridge_->capture(unknown);
    ASSERT_TRUE(errorArrives());
    expectOneError(gnome::ErrorCode::windowGone, "La ventana que se quería capturar ya no existe");
    EXPECT_EQ(sink_->count(), 0u);
}

TEST(GnomeCut, TheFrameIsCutOutOfTheBufferAtThePicturesScale) {
    const auto window = [](platform::Rect frame, platform::Rect buffer) {
        gnome::ShellWindow w;
        w.frame = frame;
        w.buffer = buffer;
        return w;
    };
    const struct {
        const char* what;
        gnome::ShellWindow window;
        std::uint32_t width, height;
        platform::InputRegion cut;
    } cases[] = {
        {"no shadow", window({100, 50, 320, 240}, {100, 50, 320, 240}), 320, 240, {0, 0, 320, 240}},
        {"a GTK 4 shadow", window({100, 50, 320, 240}, {86, 38, 348, 269}), 348, 269, {14, 12, 320, 240}},
        {"at scale 2", window({100, 50, 320, 240}, {86, 38, 348, 269}), 696, 538, {28, 24, 640, 480}},
        {"not drawn yet", window({0, 0, 0, 0}, {0, 0, 0, 0}), 64, 48, {0, 0, 64, 48}},
        {"a frame past the buffer", window({100, 50, 400, 300}, {100, 50, 320, 240}), 320, 240, {0, 0, 320, 240}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto cut = gnome::frameWithin(c.window, c.width, c.height);
        EXPECT_EQ(std::tuple(cut.x, cut.y, cut.width, cut.height),
                  std::tuple(c.cut.x, c.cut.y, c.cut.width, c.cut.height));
    }
}

}  // namespace
