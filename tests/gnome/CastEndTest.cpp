// A cast whose shell or PipeWire goes away mid-capture ends the capture with an error the status line shows, never
// a silent freeze. A stand-in shell (fake-shell.js) on a bus of its own casts a node of the test's own frame server
// on a daemon of its own, and the test kills one or the other.

#include "PipeWireTestSupport.hpp"
#include "ProgramPaths.hpp"
#include "WaitUntil.hpp"
#include "gnome/GnomeScreenCapture.hpp"
#include "gnome/SessionBus.hpp"
#include "gnome/WindowStream.hpp"
#include "pipewire/PipeWireConnection.hpp"
#include "pipewire/PipeWireVideoSource.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace kestrova;
using namespace kestrova::testing;
namespace gnome = platform::gnome;

constexpr std::chrono::seconds kBound{20};
constexpr std::uint32_t kWidth = 64;
constexpr std::uint32_t kHeight = 48;
constexpr std::uint64_t kFakeWindow = 7;  // the one window the stand-in shell lists
const std::string kNodeName = "Kestrova Ventana Falsa";

class Frames final : public platform::StreamOutput {
public:
    void streamDidOutputSampleBuffer(platform::Stream&, const platform::SampleBuffer&, int) override { ++count; }
    std::atomic<int> count = 0;
};

class Ends final : public platform::StreamDelegate {
public:
    void streamDidStopWithError(platform::Stream&, const platform::Error& error) override {
        std::lock_guard lock(mutex_);
        errors_.push_back(error);
    }
    std::vector<platform::Error> errors() const {
        std::lock_guard lock(mutex_);
        return errors_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<platform::Error> errors_;
};

struct Gone {
    const char* name;
    bool shell;  // else PipeWire
    const char* description;
};

void PrintTo(const Gone& gone, std::ostream* os) { *os << gone.name; }

class CastEnd : public ::testing::TestWithParam<Gone> {};

TEST_P(CastEnd, EndsTheCaptureWithAnErrorOnce) {
    PrivatePipeWire daemon;
    ASSERT_TRUE(daemon.ready());
    ScopedEnvironment environment(daemon.clientEnvironment());
    auto connection = platform::pipewire::PipeWireConnection::open(kBound);
    ASSERT_TRUE(connection);
    auto source = platform::pipewire::PipeWireVideoSource::create(connection, kNodeName, kWidth, kHeight, kBound);
    ASSERT_TRUE(source);
    const auto publish = [&](const platform::PixelBufferRef& frame) { source->publish(frame); };
    const auto frames = patternFrames(kWidth, kHeight);
    std::uint32_t next = 0;
    // The session manager refuses a consumer of a node it has not taken in yet.
    ASSERT_TRUE(publishUntilLinkable(publish, frames, next, kNodeName, kBound));
    const auto node = nodeIdNamed(kNodeName);
    ASSERT_TRUE(node);

    ChildProcess shell({"gjs", paths::fakeShell, std::to_string(*node), std::to_string(kWidth),
                        std::to_string(kHeight)});
    auto bus = gnome::BusConnection::connect();
    ASSERT_TRUE(std::holds_alternative<gnome::BusConnection>(bus));
    ASSERT_TRUE(waitUntil(
        [&] { return gnome::nameHasOwner(std::get<gnome::BusConnection>(bus).get(), "org.gnome.Mutter.ScreenCast"); },
        kBound));

    platform::StreamConfiguration configuration;
    configuration.setPixelFormat(platform::kPixelFormatBGRA);
    configuration.setWidth(kWidth * 2);
    configuration.setHeight(kHeight * 2);
    configuration.setMinimumFrameInterval({1, 60});
    configuration.setQueueDepth(3);
    const auto ends = std::make_shared<Ends>();
    auto stream = gnome::makeWindowStream(kFakeWindow, configuration, ends, {});
    const auto output = std::make_shared<Frames>();
    const auto queue =
        std::make_shared<platform::SerialQueue>("org.kestrova.test.frames", platform::QueuePriority::normal);
    ASSERT_FALSE(stream->addStreamOutput(output, 0, queue));
    std::atomic<bool> started = false;
    stream->startCapture([&](std::optional<platform::Error> error) { started = !error; });
    ASSERT_TRUE(publishUntil(publish, frames, next, [&] { return output->count >= 3; }, kBound))
        << "the cast never delivered";
    EXPECT_TRUE(started);

    if (GetParam().shell) {
        shell.signal(SIGKILL);
        ASSERT_TRUE(shell.wait(kBound));
    } else {
        ASSERT_TRUE(daemon.killDaemon());
    }
    ASSERT_TRUE(waitUntil([&] { return !ends->errors().empty(); }, kBound)) << "the capture froze silently";
    const auto errors = ends->errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].domain, gnome::kErrorDomain);
    EXPECT_EQ(errors[0].code, static_cast<int>(gnome::ErrorCode::connectionLost));
    EXPECT_EQ(errors[0].description, GetParam().description);
    std::atomic<bool> stopped = false;
    stream->stopCapture([&](std::optional<platform::Error>) { stopped = true; });
    EXPECT_TRUE(waitUntil([&] { return stopped.load(); }, kBound));
    EXPECT_EQ(ends->errors().size(), 1u) << "an end is reported once";
}

INSTANTIATE_TEST_SUITE_P(Gone, CastEnd,
                         ::testing::Values(Gone{"shell", true, "Se perdió la conexión con GNOME Shell"},
                                           Gone{"pipewire", false, "Se perdió la conexión con PipeWire"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
