// kestrova-receive as a user runs it, against the sink publishing on the test script's daemon.

#include "DemoPattern.hpp"
#include "pipewire/PipeWireFrameServer.hpp"
#include "PipeWireTestSupport.hpp"
#include "SinkOf.hpp"
#include "PngFile.hpp"
#include "SyphonFrameSink.hpp"
#include "WaitUntil.hpp"
#include "ProgramPaths.hpp"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

namespace platform = kestrova::platform;
using kestrova::SyphonFrameSink;
using kestrova::testing::ChildProcess;
using kestrova::testing::FrameMaker;
using kestrova::testing::patternFrames;
using kestrova::testing::publishUntil;
using kestrova::testing::TemporaryDirectory;

const std::string kReceive = kestrova::testing::paths::receive;
constexpr auto kBound = std::chrono::seconds(30);

struct ReceiveTool : ::testing::Test {
    void TearDown() override { EXPECT_TRUE(kestrova::testing::nodeGone("Kestrova Bridge")); }

    // Runs the tool while the sink publishes the frames, until the tool ends.
    std::optional<int> runWhilePublishing(const std::vector<std::string>& arguments, const FrameMaker& makeFrame,
                                          std::unique_ptr<ChildProcess>& tool) {
        auto sink = kestrova::testing::sinkOf(frameServer);
        if (!sink) return std::nullopt;
        std::vector<std::string> argv{kReceive};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        tool = std::make_unique<ChildProcess>(argv);
        std::uint32_t next = 0;
        publishUntil([&](const platform::PixelBufferRef& f) { sink->publish(f); }, makeFrame, next,
                     [&] { return !tool->running(); }, kBound);
        return tool->wait(std::chrono::seconds(5));
    }

    platform::pipewire::PipeWireFrameServer frameServer{"Kestrova Bridge"};
};

TEST_F(ReceiveTool, ReportsSizeAndRateAndWritesTheLastFrameAsPng) {
    TemporaryDirectory directory;
    const std::string png = directory.path() + "/frame.png";
    std::unique_ptr<ChildProcess> tool;
    const auto status =
        runWhilePublishing({"--frames", "5", "--png", png, "--timeout", "20"}, patternFrames(333, 211), tool);
    ASSERT_EQ(status, 0) << tool->stderrText();

    const std::string out = tool->stdoutText();
    EXPECT_EQ(out.rfind("tamaño: 333x211\n", 0), 0u) << out;
    unsigned count = 0, width = 0, height = 0;
    double rate = 0;
    const auto summary = out.find("cuadros: ");
    ASSERT_NE(summary, std::string::npos) << out;
    ASSERT_EQ(std::sscanf(out.c_str() + summary, "cuadros: %u de %ux%u, %lf por segundo", &count, &width, &height,
                          &rate),
              4)
        << out;
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(width, 333u);
    EXPECT_EQ(height, 211u);
    EXPECT_GT(rate, 0.0);

    const auto image = kestrova::receive::readPng(png);
    ASSERT_EQ(image.width, 333u);
    ASSERT_EQ(image.height, 211u);
    EXPECT_TRUE(kestrova::testing::patternIndex(image.width, image.height, image.pixels.data(), image.width * 4))
        << "the PNG does not hold a published frame's pixels";
}

TEST_F(ReceiveTool, UnwritablePngFailsAfterReceiving) {
    std::unique_ptr<ChildProcess> tool;
    const auto status = runWhilePublishing({"--frames", "2", "--png", "/nonexistent/dir/frame.png", "--timeout", "20"},
                                           patternFrames(32, 32), tool);
    EXPECT_EQ(status, 1);
    EXPECT_NE(tool->stdoutText().find("cuadros: 2 de 32x32"), std::string::npos) << tool->stdoutText();
    EXPECT_NE(tool->stderrText().find("no se pudo escribir /nonexistent/dir/frame.png"), std::string::npos)
        << tool->stderrText();
}

TEST_F(ReceiveTool, NeverTakesFramesFromAnotherSourceThanItsTarget) {
    std::unique_ptr<ChildProcess> tool;
    const auto status = runWhilePublishing({"--target", "Nadie publica esto", "--frames", "1", "--timeout", "2"},
                                           patternFrames(32, 32), tool);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(tool->stdoutText(), "");
    EXPECT_NE(tool->stderrText().find("llegaron 0 de 1 cuadros en 2 s"), std::string::npos) << tool->stderrText();
}

// Frames of the demo window, showing the counter value that the case gives for each frame's index.
FrameMaker demoFrames(std::function<std::uint32_t(std::uint32_t)> counterOf) {
    return [counterOf](std::uint32_t index) {
        auto frame = platform::PixelBuffer::create(320, 240);
        kestrova::demo::draw(frame->bytes(), frame->bytesPerRow(), frame->width(), frame->height(), counterOf(index),
                             kestrova::demo::colorFor("Kestrova Output | prueba"));
        return frame;
    };
}

struct CounterCase {
    const char* name;
    FrameMaker frames;
    int status;
    std::string message;  // on standard error when it fails, else the start of the counter line
};

void PrintTo(const CounterCase& c, std::ostream* os) { *os << c.name; }

class CounterCheck : public ReceiveTool, public ::testing::WithParamInterface<CounterCase> {};

TEST_P(CounterCheck, JudgesTheDemoCounter) {
    const auto& c = GetParam();
    std::unique_ptr<ChildProcess> tool;
    const auto status = runWhilePublishing({"--frames", "10", "--check-counter", "--timeout", "20"}, c.frames, tool);
    EXPECT_EQ(status, c.status) << tool->stderrText();
    if (c.status == 0) {
        EXPECT_NE(tool->stdoutText().find(c.message), std::string::npos) << tool->stdoutText();
    } else {
        EXPECT_NE(tool->stderrText().find(c.message), std::string::npos) << tool->stderrText();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CounterCheck,
    ::testing::Values(
        CounterCase{"advancing", demoFrames([](std::uint32_t i) { return 5000 + i; }), 0, "contador: de 5"},
        CounterCase{"each_shown_twice", demoFrames([](std::uint32_t i) { return i / 2; }), 0, "contador: de "},
        CounterCase{"going_back", demoFrames([](std::uint32_t i) { return 100000 - i; }), 1,
                    "el contador retrocede de "},
        CounterCase{"frozen", demoFrames([](std::uint32_t) { return 77u; }), 1, "el contador no avanzó en 10 cuadros"},
        CounterCase{"no_counter", patternFrames(320, 240), 1, "el cuadro 0 no muestra el contador"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
    const char* name;
    std::vector<std::string> arguments;
    bool withoutDaemon;
    int status;
    std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class ReceiveToolFails : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ReceiveToolFails, WithItsMessage) {
    const auto& c = GetParam();
    TemporaryDirectory empty;
    ChildProcess::Options options;
    if (c.withoutDaemon) {
        options.environment = {{"XDG_RUNTIME_DIR", empty.path()}, {"PIPEWIRE_RUNTIME_DIR", empty.path()}};
        options.unsetEnvironment = {"PIPEWIRE_REMOTE"};
    }
    std::vector<std::string> argv{kReceive};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const auto result = kestrova::testing::runProgram(argv, std::chrono::seconds(20), options);
    EXPECT_EQ(result.status, c.status);
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceiveToolFails,
    ::testing::Values(
        FailureCase{"zero_frames", {"--frames", "0"}, false, 2, "uso: kestrova-receive"},
        FailureCase{"unknown_option", {"--fps", "60"}, false, 2, "uso: kestrova-receive"},
        FailureCase{"missing_value", {"--png"}, false, 2, "uso: kestrova-receive"},
        FailureCase{"no_daemon", {"--frames", "1"}, true, 1, "no responde ningún servidor PipeWire"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A window that stops changing publishes nothing more: a consumer that comes later still gets its last frame, even
// when that frame was the one that had to wait for its size to be agreed.
TEST_F(ReceiveTool, AConsumerArrivingAfterTheLastFrameStillReceivesIt) {
    auto sink = kestrova::testing::sinkOf(frameServer);
    ASSERT_TRUE(sink);
    sink->publish(patternFrames(97, 41)(7));
    // The new size was offered before publish returned; the consumer comes once the session manager links to it.
    ASSERT_TRUE(kestrova::testing::waitUntil(
        [] { return kestrova::testing::linkable("Kestrova Bridge"); }, kBound));
    const auto result = kestrova::testing::runProgram({kReceive, "--frames", "1", "--timeout", "10"}, kBound);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("cuadros: 1 de 97x41"), std::string::npos) << result.out;
    sink->stop();
}

}  // namespace
