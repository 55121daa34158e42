// The node against a daemon that dies, hangs or refuses it, with GStreamer's pipewiresrc as the consumer: a private
// daemon and session manager that the test kills (SIGKILL), stops (SIGSTOP) and starts again on the same runtime
// directory.

#include "pipewire/PipeWireFrameServer.hpp"
#include "PipeWireTestSupport.hpp"
#include "SinkOf.hpp"
#include "ProcessStats.hpp"
#include "SyphonFrameSink.hpp"
#include "WaitUntil.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

namespace platform = kestrova::platform;
using kestrova::SyphonFrameSink;
using kestrova::testing::ChildProcess;
using kestrova::testing::nodeNamed;
using kestrova::testing::patternFrames;
using kestrova::testing::PrivatePipeWire;
using kestrova::testing::publishUntil;
using kestrova::testing::ScopedEnvironment;
using kestrova::testing::linkable;
using kestrova::testing::waitUntil;

const std::string kNodeName = "Kestrova Bridge";
constexpr auto kBound = std::chrono::seconds(20);
// How soon after the daemon is back the node must be listed again: the reconnection is tried about once a second.
constexpr auto kRelistBound = std::chrono::seconds(3);
constexpr int kRounds = 5;

// A pipewiresrc that prints a line for each buffer it receives; with a count, it ends after that many. It says
// what it is as a camera application does: the session manager links nothing to a stream without a media type.
std::unique_ptr<ChildProcess> gstConsumer(std::optional<int> buffers) {
    std::vector<std::string> argv{"gst-launch-1.0", "pipewiresrc", "target-object=" + kNodeName,
                                  "stream-properties=props,media.type=Video,media.category=Capture,media.role=Camera"};
    if (buffers) argv.push_back("num-buffers=" + std::to_string(*buffers));
    argv.insert(argv.end(), {"!", "fakesink", "silent=false", "-v"});
    return std::make_unique<ChildProcess>(argv);
}

bool listedAsBefore() {
    auto node = nodeNamed(kNodeName);
    return node && (*node)["node.description"] == kNodeName && (*node)["media.class"] == "Video/Source" &&
           (*node)["media.role"] == "Camera";
}

struct DaemonFaults : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(pipewire.ready()); }

    // Publishes until the session manager has taken the node in (it is made once there is a picture), then until a
    // new pipewiresrc has received frames and ended on its own.
    bool newConsumerReceives(const std::shared_ptr<SyphonFrameSink>& sink) {
        if (!publishUntil(publisher(sink), patternFrames(64, 48), next_,
                          [] { return linkable(kNodeName); }, kBound)) {
            return false;
        }
        return consumerReceives(sink, *gstConsumer(5));
    }

    // Publishes until the consumer has received its frames and ended on its own.
    bool consumerReceives(const std::shared_ptr<SyphonFrameSink>& sink, ChildProcess& consumer) {
        publishUntil(publisher(sink), patternFrames(64, 48), next_, [&] { return !consumer.running(); }, kBound);
        const auto status = consumer.wait(std::chrono::seconds(5));
        if (status != 0) ADD_FAILURE() << consumer.stderrText();
        return status == 0;
    }

    static std::function<void(const platform::PixelBufferRef&)> publisher(const std::shared_ptr<SyphonFrameSink>& s) {
        return [s](const platform::PixelBufferRef& frame) { s->publish(frame); };
    }

    PrivatePipeWire pipewire;
    ScopedEnvironment environment{pipewire.clientEnvironment()};
    platform::pipewire::PipeWireFrameServer frameServer{kNodeName};

private:
    std::uint32_t next_ = 0;
};

TEST_F(DaemonFaults, NodeComesBackAfterEachRestartAndNoDescriptorIsLeft) {
    auto sink = kestrova::testing::sinkOf(frameServer);
    ASSERT_TRUE(sink);
    std::uint32_t next = 100000;
    int descriptorsAfterFirst = -1;
    ASSERT_TRUE(publishUntil(publisher(sink), patternFrames(64, 48), next,
                             [] { return linkable(kNodeName); }, kBound));
    for (int round = 1; round <= kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // A consumer is receiving when the daemon and the session manager die.
        auto receiving = gstConsumer(std::nullopt);
        ASSERT_TRUE(publishUntil(publisher(sink), patternFrames(64, 48), next,
                                 [&] { return receiving->stdoutText().find("chain") != std::string::npos; }, kBound))
            << receiving->stderrText();
        ASSERT_TRUE(pipewire.restart());
        EXPECT_TRUE(waitUntil(listedAsBefore, kRelistBound, std::chrono::milliseconds(20)))
            << "the node was not listed again with its properties";
        receiving.reset();
        // A consumer that links the moment the node can be linked again, as one relinked by its application does:
        // the node comes back at the picture's size, with no other size to agree on first. The window does not
        // change meanwhile, so no new frame comes to help.
        ASSERT_TRUE(waitUntil([] { return linkable(kNodeName); }, kBound));
        auto early = gstConsumer(1);
        EXPECT_TRUE(waitUntil([&] { return !early->running(); }, kBound))
            << "a consumer linked as the node came back got no frame";
        EXPECT_EQ(early->wait(std::chrono::seconds(5)), 0) << early->stderrText();
        ASSERT_TRUE(newConsumerReceives(sink));
        // The old connection's descriptors go with it, whatever round it is.
        if (round == 1) descriptorsAfterFirst = kestrova::testing::openDescriptors(getpid());
    }
    EXPECT_TRUE(waitUntil([&] { return kestrova::testing::openDescriptors(getpid()) == descriptorsAfterFirst; },
                          kBound))
        << kestrova::testing::openDescriptors(getpid()) << " descriptors open, " << descriptorsAfterFirst
        << " after the first round";
    sink->stop();
    EXPECT_TRUE(waitUntil([] { return !nodeNamed(kNodeName); }, kBound));
}

TEST_F(DaemonFaults, AHungDaemonHoldsUpNeitherPublishingNorTheCallerAndPublishingResumes) {
    auto sink = kestrova::testing::sinkOf(frameServer);
    ASSERT_TRUE(sink);
    ASSERT_TRUE(newConsumerReceives(sink));

    // Frames come on a queue of their own, as in the program; this thread stands for the main thread.
    std::atomic<bool> publishing{true};
    std::atomic<std::uint64_t> published{0};
    std::thread frameQueue([&] {
        for (std::uint32_t i = 0; publishing; ++i) {
            sink->publish(patternFrames(64, 48)(i));
            ++published;
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
    });
    pipewire.pauseDaemon(true);
    // For about five seconds of frames the daemon stays stopped: frames keep being taken (and dropped when no
    // buffer comes back), and a connection attempt to it from here gives up instead of hanging.
    const auto before = published.load();
    EXPECT_TRUE(waitUntil([&] { return published >= before + 200; }, kBound)) << "publishing is held up";
    EXPECT_FALSE(kestrova::testing::listNodes().size()) << "the stopped daemon answered";
    EXPECT_TRUE(waitUntil([&] { return published >= before + 1250; }, kBound)) << "publishing is held up";
    pipewire.pauseDaemon(false);
    publishing = false;
    frameQueue.join();

    EXPECT_TRUE(waitUntil(listedAsBefore, kBound));
    EXPECT_TRUE(newConsumerReceives(sink));
}

TEST(RefusingDaemon, LeavesNoDeviceSoTheDiagnosticSinkIsUsed) {
    PrivatePipeWire pipewire(PrivatePipeWire::Kind::RefusingNodes);
    ASSERT_TRUE(pipewire.ready());
    ScopedEnvironment environment(pipewire.clientEnvironment());
    platform::pipewire::PipeWireFrameServer frameServer(kNodeName);
    EXPECT_FALSE(frameServer.connectDevice());
    EXPECT_FALSE(kestrova::testing::sinkOf(frameServer));
}

}  // namespace
