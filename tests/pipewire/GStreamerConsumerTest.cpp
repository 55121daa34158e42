// GStreamer's pipewiresrc, a consumer this project did not write, receiving the node in each format it offers and
// converting back to BGRA with GStreamer's own videoconvert.

#include "FrameServer.hpp"
#include "pipewire/PipeWireFrameServer.hpp"
#include "PipeWireTestSupport.hpp"
#include "SinkOf.hpp"
#include "SizeSwitchConsumers.hpp"
#include "SyphonFrameSink.hpp"
#include "WaitUntil.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

namespace platform = kestrova::platform;
using kestrova::SyphonFrameSink;
using kestrova::testing::ChildProcess;
using kestrova::testing::SizeSwitchConsumer;
using kestrova::testing::TemporaryDirectory;

const std::string kNodeName = "Kestrova Bridge";
constexpr auto kBound = std::chrono::seconds(30);
// A window of 161x101 as the bridge publishes it, doubled: rows of a width that is no multiple of four, so that
// a consumer assuming padded rows would see the picture slanted.
constexpr std::uint32_t kWidth = 322;
constexpr std::uint32_t kHeight = 202;
using Bgra = std::array<std::uint8_t, 4>;
// The left and right halves of the frame.
constexpr Bgra kLeft{0x30, 0x90, 0xd0, 0xff};
constexpr Bgra kRight{0xe0, 0x40, 0x20, 0xff};

platform::PixelBufferRef halves() {
    auto frame = platform::PixelBuffer::create(kWidth, kHeight);
    for (std::uint32_t y = 0; y < kHeight; ++y) {
        for (std::uint32_t x = 0; x < kWidth; ++x) {
            const Bgra& colour = x < kWidth / 2 ? kLeft : kRight;
            std::copy(colour.begin(), colour.end(), frame->bytes() + y * frame->bytesPerRow() + x * 4);
        }
    }
    return frame;
}

struct FormatCase {
    const char* format;
    int tolerance;  // per channel, after GStreamer converted back to BGRA
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.format; }

class GStreamerConsumer : public ::testing::TestWithParam<FormatCase> {
protected:
    void TearDown() override { EXPECT_TRUE(kestrova::testing::nodeGone(kNodeName)); }

    platform::pipewire::PipeWireFrameServer frameServer{kNodeName};
};

TEST_P(GStreamerConsumer, ReceivesTheFrameInThatFormatAtSixtyFramesPerSecond) {
    const auto& c = GetParam();
    auto sink = kestrova::testing::sinkOf(frameServer);
    ASSERT_TRUE(sink);
    const auto publish = [&](const platform::PixelBufferRef& f) { sink->publish(f); };
    std::uint32_t next = 0;
    // The node is made once there is a picture, at its size: a consumer that links the moment it can, asking for
    // that size, finds it offered and no other.
    ASSERT_TRUE(kestrova::testing::publishUntilLinkable(publish, [](std::uint32_t) { return halves(); }, next,
                                                        kNodeName, kBound));
    TemporaryDirectory directory;
    const std::string out = directory.path() + "/frames.bgra";
    const std::string caps = std::string("video/x-raw,format=") + c.format + ",width=" + std::to_string(kWidth) +
                             ",height=" + std::to_string(kHeight);
    ChildProcess gst({"gst-launch-1.0", "-v", "pipewiresrc", "target-object=" + kNodeName, "num-buffers=3", "!", caps,
                      "!", "videoconvert", "!", "video/x-raw,format=BGRA", "!", "filesink", "location=" + out});
    kestrova::testing::publishUntil(publish, [](std::uint32_t) { return halves(); }, next,
                                    [&] { return !gst.running(); }, kBound);
    ASSERT_EQ(gst.wait(std::chrono::seconds(5)), 0) << gst.stderrText();
    // The nominal rate, not a variable one that some consumers read as no frames at all.
    EXPECT_NE(gst.stdoutText().find("framerate=(fraction)60/1"), std::string::npos) << gst.stdoutText();

    std::ifstream file(out, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const std::size_t frameBytes = std::size_t{kWidth} * kHeight * 4;
    ASSERT_EQ(bytes.size(), 3 * frameBytes) << "frames of another size arrived";
    const auto* last = reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2 * frameBytes;
    // Away from the border, where 4:2:0 chroma cannot blur the halves together; the corners would show a slant.
    struct Probe {
        std::uint32_t x, y;
        Bgra expected;
    };
    for (const Probe& probe : {Probe{4, 2, kLeft}, Probe{100, 180, kLeft}, Probe{150, 199, kLeft},
                               Probe{170, 0, kRight}, Probe{220, 20, kRight}, Probe{318, 200, kRight}}) {
        const std::uint8_t* pixel = last + (std::size_t{probe.y} * kWidth + probe.x) * 4;
        // Colour only: a BGRx consumer is free to fill the fourth byte as it likes.
        for (int channel = 0; channel < 3; ++channel) {
            EXPECT_LE(std::abs(int(pixel[channel]) - int(probe.expected[channel])), c.tolerance)
                << c.format << " channel " << channel << " at " << probe.x << "," << probe.y;
        }
    }
}

// A consumer follows the window's size when it changes, whether the frames are written into memory of their own
// (and copied once) or straight into the node's buffers: it receives whole frames of the new size, under caps
// that say so.
class GStreamerConsumerResized : public ::testing::TestWithParam<bool> {
protected:
    void TearDown() override { EXPECT_TRUE(kestrova::testing::nodeGone(kNodeName)); }

    platform::pipewire::PipeWireFrameServer frameServer{kNodeName};
};

TEST_P(GStreamerConsumerResized, FollowsASizeChange) {
    const bool inPlace = GetParam();
    if (!kestrova::testing::gstreamerFollowsSizeChanges()) {
        GTEST_SKIP() << "the installed pipewiresrc cannot follow its node to another size";
    }
    auto sink = kestrova::testing::sinkOf(frameServer);
    ASSERT_TRUE(sink);
    auto consumer = SizeSwitchConsumer::start(SizeSwitchConsumer::Kind::GStreamer, kNodeName);
    std::uint32_t next = 0;
    int lentFrames = 0;
    const auto publishUntilPassed = [&](std::uint32_t width, std::uint32_t height) {
        const auto make = [&](std::uint32_t) {
            auto lent = inPlace ? frameServer.acquireFrameBuffer(width, height) : nullptr;
            lentFrames += lent ? 1 : 0;
            return lent ? lent : platform::PixelBuffer::create(width, height);
        };
        return kestrova::testing::publishUntil(
            [&](const platform::PixelBufferRef& f) { sink->publish(f); }, make, next,
            [&] { return consumer->received(width, height) || !consumer->fault().empty(); }, kBound);
    };
    EXPECT_TRUE(publishUntilPassed(320, 200) && consumer->received(320, 200)) << consumer->fault();
    EXPECT_TRUE(publishUntilPassed(160, 120) && consumer->received(160, 120))
        << "the consumer stopped at the old size " << consumer->fault();
    EXPECT_EQ(consumer->fault(), "");
    EXPECT_EQ(lentFrames > 0, inPlace) << "the node lent " << lentFrames << " of its buffers";
}

INSTANTIATE_TEST_SUITE_P(Writes, GStreamerConsumerResized, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "InPlace" : "Copied"; });

// Studio-range YUV keeps 219 or 224 levels of 256 and shares chroma between four pixels: a few levels of rounding.
INSTANTIATE_TEST_SUITE_P(Formats, GStreamerConsumer,
                         ::testing::Values(FormatCase{"BGRA", 0}, FormatCase{"BGRx", 0}, FormatCase{"NV12", 6},
                                           FormatCase{"I420", 6}),
                         [](const auto& info) { return std::string(info.param.format); });

}  // namespace
