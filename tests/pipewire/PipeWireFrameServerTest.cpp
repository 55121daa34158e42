// The shared-video sink over the real PipeWire frame server, against the test script's daemon and session manager
// (and a private daemon where one is killed).

#include "pipewire/PipeWireFrameServer.hpp"
#include "PipeWireTestSupport.hpp"
#include "SinkOf.hpp"
#include "SyphonFrameSink.hpp"
#include "WaitUntil.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

namespace platform = kestrova::platform;
using kestrova::SyphonFrameSink;
using kestrova::receive::FrameReceiver;
using kestrova::testing::FrameLog;
using kestrova::testing::nodeNamed;
using kestrova::testing::PrivatePipeWire;
using kestrova::testing::patternFrames;
using kestrova::testing::publishUntil;
using kestrova::testing::ReceivedFrame;
using kestrova::testing::ScopedEnvironment;
using kestrova::testing::TemporaryDirectory;
using kestrova::testing::waitUntil;
using Frames = std::vector<ReceivedFrame>;

constexpr auto kBound = std::chrono::seconds(15);
const std::string kNodeName = "Kestrova Bridge";

struct PipeWireSink : ::testing::Test {
    void TearDown() override {
        EXPECT_TRUE(kestrova::testing::nodeGone(kNodeName));
    }

    using Publisher = std::function<void(const platform::PixelBufferRef&)>;
    // A receiver linked to the sink's node only. The node is made once there is a picture: the first frames are
    // published until it is listed, and the receiver is connected then.
    static std::unique_ptr<FrameReceiver> receive(FrameLog& log, const Publisher& publish,
                                                  const kestrova::testing::FrameMaker& firstFrames,
                                                  std::uint32_t& next);
    static Publisher publisher(const std::shared_ptr<SyphonFrameSink>& s) {
        return [s](const platform::PixelBufferRef& frame) { s->publish(frame); };
    }

    platform::pipewire::PipeWireFrameServer frameServer{kNodeName};
};

bool waitForNode(const std::string& name, bool present) {
    return waitUntil([&] { return nodeNamed(name).has_value() == present; }, kBound, std::chrono::milliseconds(20));
}

// Every received frame must be one of those published, whole, at the size it was published with.
void expectAllIntact(const Frames& frames) {
    for (const auto& f : frames) {
        EXPECT_TRUE(f.index.has_value()) << "a " << f.width << "x" << f.height << " frame arrived with other pixels";
    }
}

auto hasFrameOfSize(std::uint32_t width, std::uint32_t height, std::uint32_t fromIndex = 0) {
    return [=](const Frames& frames) {
        return std::any_of(frames.begin(), frames.end(), [&](const ReceivedFrame& f) {
            return f.width == width && f.height == height && f.index && *f.index >= fromIndex;
        });
    };
}

std::unique_ptr<FrameReceiver> PipeWireSink::receive(FrameLog& log, const Publisher& publish,
                                                     const kestrova::testing::FrameMaker& firstFrames,
                                                     std::uint32_t& next) {
    if (!kestrova::testing::publishUntilLinkable(publish, firstFrames, next, kNodeName, kBound)) return nullptr;
    return FrameReceiver::connect(kNodeName, log.handler(), std::chrono::seconds(1));
}

TEST_F(PipeWireSink, NodeIsListedOnceThereIsAPictureAsACameraLikeVideoSourceUntilStopped) {
    auto sink = kestrova::testing::sinkOf(frameServer);
    ASSERT_TRUE(sink) << "no PipeWire daemon answered; the test script starts one";
    // Made at once, it would offer a size it has no picture of to any consumer that links before the first frame.
    EXPECT_FALSE(nodeNamed(kNodeName)) << "the node was made before there was a picture";
    std::uint32_t next = 0;
    ASSERT_TRUE(kestrova::testing::publishUntilLinkable(publisher(sink), patternFrames(64, 48), next, kNodeName,
                                                      kBound));
    auto node = *nodeNamed(kNodeName);
    const std::map<std::string, std::string> expected{{"node.description", kNodeName},
                                                      {"media.class", "Video/Source"},
                                                      {"media.type", "Video"},
                                                      {"media.category", "Capture"},
                                                      {"media.role", "Camera"}};
    for (const auto& [key, value] : expected) EXPECT_EQ(node[key], value) << key;

    sink->stop();
    EXPECT_TRUE(waitForNode(kNodeName, false));
}

TEST_F(PipeWireSink, ReceiverGetsTheFramesWholeAndInOrder) {
    auto sink = kestrova::testing::sinkOf(frameServer);
    ASSERT_TRUE(sink);
    FrameLog log;
    // An odd width, so that rows are not a multiple of any alignment a copy might assume.
    constexpr std::uint32_t kWidth = 333;
    constexpr std::uint32_t kHeight = 211;
    std::uint32_t next = 0;
    auto receiver = receive(log, publisher(sink), patternFrames(kWidth, kHeight), next);
    ASSERT_TRUE(receiver);
    ASSERT_TRUE(publishUntil(publisher(sink), patternFrames(kWidth, kHeight), next,
                             [&] { return log.frames().size() >= 10; }, kBound));
    receiver.reset();

    const auto frames = log.frames();
    expectAllIntact(frames);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].width, kWidth);
        EXPECT_EQ(frames[i].height, kHeight);
        if (i > 0 && frames[i].index && frames[i - 1].index) {
            EXPECT_GT(*frames[i].index, *frames[i - 1].index) << "frames reordered or repeated";
            EXPECT_GT(frames[i].sequence, frames[i - 1].sequence);
        }
    }
}

TEST_F(PipeWireSink, EachSizeChangeReachesTheReceiver) {
    auto sink = kestrova::testing::sinkOf(frameServer);
    ASSERT_TRUE(sink);
    FrameLog log;
    std::uint32_t next = 0;
    auto receiver = receive(log, publisher(sink), patternFrames(64, 48), next);
    ASSERT_TRUE(receiver);
    struct Size {
        std::uint32_t width, height;
    };
    // Larger, smaller, back to a size seen before, and a one-pixel frame.
    const std::vector<Size> sizes{{160, 120}, {640, 360}, {96, 200}, {160, 120}, {1, 1}};
    for (const auto& size : sizes) {
        const std::uint32_t first = next;
        EXPECT_TRUE(publishUntil(publisher(sink), patternFrames(size.width, size.height), next,
                                 [&] { return hasFrameOfSize(size.width, size.height, first)(log.frames()); },
                                 kBound))
            << size.width << "x" << size.height << " never arrived";
    }
    receiver.reset();
    expectAllIntact(log.frames());
}

TEST_F(PipeWireSink, WithoutAConsumerFramesAreDroppedAndALaterOneIsServed) {
    auto sink = kestrova::testing::sinkOf(frameServer);
    ASSERT_TRUE(sink);
    // Nobody listens: each publish returns without waiting, and the sink stays usable.
    for (std::uint32_t i = 0; i < 50; ++i) sink->publish(kestrova::testing::patternFrame(64, 48, i));

    std::uint32_t next = 1000;
    for (int consumer = 0; consumer < 2; ++consumer) {
        FrameLog log;
        auto receiver = receive(log, publisher(sink), patternFrames(64, 48), next);
        ASSERT_TRUE(receiver);
        const std::uint32_t first = next;
        const auto served = [&] { return hasFrameOfSize(64, 48, first)(log.frames()); };
        EXPECT_TRUE(publishUntil(publisher(sink), patternFrames(64, 48), next, served, kBound))
            << "consumer " << consumer;
        receiver.reset();
        expectAllIntact(log.frames());
        // The consumer is gone again: publishing goes on without it.
        for (std::uint32_t i = 0; i < 50; ++i) sink->publish(kestrova::testing::patternFrame(64, 48, next++));
    }
}

TEST_F(PipeWireSink, FlippedOrPartialPublicationIsRefusedAndSendsNothing) {
    auto device = frameServer.connectDevice();
    ASSERT_TRUE(device);
    auto server = device->makeServer(kNodeName);
    auto queue = device->newCommandQueue();
    auto cache = device->makeTextureCache().cache;
    ASSERT_TRUE(server && queue && cache);

    // The sink's steps, with the region and flip given; the server's answer.
    const auto publishAs = [&](const platform::PixelBufferRef& frame, platform::ImageRegion region, bool flipped) {
        const auto made = cache->createTextureFromImage(frame, platform::kTexturePixelFormatBGRA8Unorm,
                                                        frame->width(), frame->height(), 0);
        EXPECT_EQ(made.status, 0);
        auto commands = queue->commandBuffer();
        const int status = server->publishFrameTexture(made.wrapper->texture(), *commands, region, flipped);
        commands->commit();
        return status;
    };
    const auto publishWhole = [&](const platform::PixelBufferRef& frame) {
        EXPECT_EQ(publishAs(frame, {0, 0, double(frame->width()), double(frame->height())}, false), 0);
    };
    constexpr std::uint32_t kWidth = 40;
    constexpr std::uint32_t kHeight = 30;
    FrameLog log;
    std::uint32_t next = 0;
    auto receiver = receive(log, publishWhole, patternFrames(kWidth, kHeight), next);
    ASSERT_TRUE(receiver);

    struct Case {
        const char* what;
        platform::ImageRegion region;
        bool flipped;
    };
    const std::vector<Case> cases{
        {"the whole frame flipped", {0, 0, kWidth, kHeight}, true},
        {"a part from the origin", {0, 0, kWidth - 8, kHeight - 6}, false},
        {"a part away from the origin", {5, 3, kWidth - 5, kHeight - 3}, false},
        {"a part flipped", {5, 3, 20, 10}, true},
        {"more than the frame", {0, 0, kWidth + 1, kHeight}, false},
    };
    // Refused frames are numbered apart: none of them may reach the receiver.
    constexpr std::uint32_t kRefused = 1'000'000;
    for (std::uint32_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(publishAs(kestrova::testing::patternFrame(kWidth, kHeight, kRefused + i), c.region, c.flipped),
                  -EINVAL)
            << c.what;
        // Frames go out in order: had the refused one been sent, it would arrive before a later whole one.
        const std::uint32_t after = next;
        EXPECT_TRUE(publishUntil(publishWhole, patternFrames(kWidth, kHeight), next,
                                 [&] { return hasFrameOfSize(kWidth, kHeight, after)(log.frames()); }, kBound))
            << c.what;
    }
    receiver.reset();
    const auto frames = log.frames();
    expectAllIntact(frames);
    for (const auto& f : frames) EXPECT_LT(f.index.value_or(0), kRefused) << "a refused frame was sent";
}

TEST_F(PipeWireSink, TextureCacheRefusesWhatIsNotAWholeBgraFrame) {
    auto device = frameServer.connectDevice();
    ASSERT_TRUE(device);
    auto cache = device->makeTextureCache().cache;
    ASSERT_TRUE(cache);
    const auto frame = platform::PixelBuffer::create(8, 4);
    struct Case {
        const char* what;
        platform::PixelBufferRef image;
        std::uint32_t format, width, height;
        std::size_t plane;
        bool accepted;
    };
    const std::vector<Case> cases{
        {"the whole frame", frame, platform::kTexturePixelFormatBGRA8Unorm, 8, 4, 0, true},
        {"a part from the origin", frame, platform::kTexturePixelFormatBGRA8Unorm, 3, 2, 0, false},
        {"another pixel format", frame, 81, 8, 4, 0, false},
        {"a second plane", frame, platform::kTexturePixelFormatBGRA8Unorm, 8, 4, 1, false},
        {"wider than the frame", frame, platform::kTexturePixelFormatBGRA8Unorm, 9, 4, 0, false},
        {"taller than the frame", frame, platform::kTexturePixelFormatBGRA8Unorm, 8, 5, 0, false},
        {"no pixels", frame, platform::kTexturePixelFormatBGRA8Unorm, 0, 4, 0, false},
        {"no frame", nullptr, platform::kTexturePixelFormatBGRA8Unorm, 8, 4, 0, false},
    };
    for (const auto& c : cases) {
        const auto made = cache->createTextureFromImage(c.image, c.format, c.width, c.height, c.plane);
        EXPECT_EQ(made.status == 0, c.accepted) << c.what;
        if (!c.accepted) continue;
        ASSERT_TRUE(made.wrapper && made.wrapper->texture()) << c.what;
        EXPECT_EQ(made.wrapper->texture()->width(), c.width) << c.what;
        EXPECT_EQ(made.wrapper->texture()->height(), c.height) << c.what;
    }
}

TEST_F(PipeWireSink, DaemonKilledMidStreamLeavesPublishingDroppingFrames) {
    PrivatePipeWire pipewire;
    ASSERT_TRUE(pipewire.ready());
    ScopedEnvironment environment(pipewire.clientEnvironment());
    auto sink = kestrova::testing::sinkOf(frameServer);
    ASSERT_TRUE(sink);
    FrameLog log;
    std::uint32_t next = 0;
    auto receiver = receive(log, publisher(sink), patternFrames(120, 90), next);
    ASSERT_TRUE(receiver);
    ASSERT_TRUE(
        publishUntil(publisher(sink), patternFrames(120, 90), next, [&] { return !log.frames().empty(); }, kBound));

    ASSERT_TRUE(pipewire.killDaemon());
    const auto before = log.frames().size();
    // Frames keep coming, of the same and of a new size; each is dropped without harm.
    for (std::uint32_t i = 0; i < 40; ++i) {
        sink->publish(kestrova::testing::patternFrame(i < 20 ? 120 : 90, 60, next++));
    }
    sink->stop();
    sink->publish(kestrova::testing::patternFrame(90, 60, next++));
    EXPECT_EQ(log.frames().size(), before);
    expectAllIntact(log.frames());
}

// A socket that accepts connections and never answers, like a daemon that hangs.
class SilentListener {
public:
    explicit SilentListener(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd_, 8) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~SilentListener() {
        if (fd_ >= 0) close(fd_);
    }
    bool listening() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

class NoDaemonAnswers : public ::testing::TestWithParam<bool> {};

TEST_P(NoDaemonAnswers, ConstructionYieldsNothing) {
    TemporaryDirectory runtime;
    ASSERT_FALSE(runtime.path().empty());
    std::optional<SilentListener> hungDaemon;
    if (GetParam()) {
        hungDaemon.emplace(runtime.path() + "/pipewire-0");
        ASSERT_TRUE(hungDaemon->listening());
    }
    ScopedEnvironment environment(
        {{"XDG_RUNTIME_DIR", runtime.path()}, {"PIPEWIRE_RUNTIME_DIR", runtime.path()}, {"PIPEWIRE_REMOTE", ""}});
    platform::pipewire::PipeWireFrameServer frameServer(kNodeName);
    EXPECT_FALSE(frameServer.connectDevice());
    EXPECT_FALSE(kestrova::testing::sinkOf(frameServer));
}

INSTANTIATE_TEST_SUITE_P(Daemons, NoDaemonAnswers, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "HungDaemon" : "NoSocket"; });

}  // namespace
