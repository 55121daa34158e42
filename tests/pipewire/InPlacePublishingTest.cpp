// Frames written straight into the node's own buffers, as the capture does while a consumer streams BGRA: they
// still arrive whole, to two consumers at once, to one that joins late and across a size change, and a buffer a
// consumer holds is never written meanwhile. Every buffer lent is sealed against resizing.

#include "FrameServer.hpp"
#include "pipewire/PipeWireFrameServer.hpp"
#include "PipeWireTestSupport.hpp"
#include "SinkOf.hpp"
#include "SyphonFrameSink.hpp"
#include "WaitUntil.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace {

namespace platform = kestrova::platform;
using kestrova::SyphonFrameSink;
using kestrova::receive::FrameReceiver;
using kestrova::receive::FrameView;
using kestrova::testing::FrameLog;
using kestrova::testing::nodeNamed;
using kestrova::testing::patternFrame;
using kestrova::testing::patternIndex;
using kestrova::testing::ReceivedFrame;
using kestrova::testing::waitUntil;

constexpr auto kBound = std::chrono::seconds(15);
const std::string kNodeName = "Kestrova Bridge";

// Makes pattern frames in the node's buffer when it lends one, as the capture does, and in memory of their own
// otherwise; remembers which frames were written in place.
struct InPlaceFrames {
    platform::FrameBufferProvider& frameBuffers;
    std::uint32_t width;
    std::uint32_t height;
    std::vector<std::uint32_t> inPlace;

    platform::PixelBufferRef operator()(std::uint32_t index) {
        auto pattern = patternFrame(width, height, index);
        auto lent = frameBuffers.acquireFrameBuffer(width, height);
        if (!lent) return pattern;
        EXPECT_EQ(lent->bytesPerRow(), pattern->bytesPerRow());
        // The memfd consumers map cannot be resized under them.
        constexpr int kSizeSeals = F_SEAL_SHRINK | F_SEAL_GROW;
        EXPECT_EQ(fcntl(lent->fd(), F_GET_SEALS) & kSizeSeals, kSizeSeals);
        std::memcpy(lent->bytes(), pattern->bytes(), pattern->byteCount());
        inPlace.push_back(index);
        return lent;
    }
    // The index of the n-th frame written in place, counting from the first.
    std::optional<std::uint32_t> nth(std::size_t n) const {
        return inPlace.size() > n ? std::optional(inPlace[n]) : std::nullopt;
    }
};

struct InPlacePublishing : ::testing::Test {
    void SetUp() override { sink_ = kestrova::testing::sinkOf(frameServer_); }
    void TearDown() override {
        sink_.reset();
        EXPECT_TRUE(kestrova::testing::nodeGone(kNodeName));
    }

    // A receiver of the node, which is made once frames of the maker's size are published.
    std::unique_ptr<FrameReceiver> receive(FrameReceiver::FrameHandler handler, InPlaceFrames& maker,
                                           std::uint32_t& next) {
        const bool listed = publishUntil(maker, next, [] { return nodeNamed(kNodeName).has_value(); });
        return listed ? FrameReceiver::connect(kNodeName, std::move(handler), std::chrono::seconds(1)) : nullptr;
    }

    bool publishUntil(InPlaceFrames& maker, std::uint32_t& next, const std::function<bool()>& condition) {
        auto publish = [sink = sink_](const platform::PixelBufferRef& frame) { sink->publish(frame); };
        return kestrova::testing::publishUntil(publish, std::ref(maker), next, condition, kBound);
    }

    platform::pipewire::PipeWireFrameServer frameServer_{kNodeName};
    std::shared_ptr<SyphonFrameSink> sink_;
};

// A frame written in place, at least `after` in-place frames in, arrived whole at that size.
bool receivedInPlace(const FrameLog& log, const InPlaceFrames& maker, std::size_t after) {
    const auto from = maker.nth(after);
    if (!from) return false;
    const auto frames = log.frames();
    return std::any_of(frames.begin(), frames.end(), [&](const ReceivedFrame& f) {
        return f.width == maker.width && f.height == maker.height && f.index && *f.index >= *from &&
               std::find(maker.inPlace.begin(), maker.inPlace.end(), *f.index) != maker.inPlace.end();
    });
}

void expectAllIntact(const FrameLog& log, const char* who) {
    for (const auto& f : log.frames()) {
        EXPECT_TRUE(f.index.has_value()) << who << ": a " << f.width << "x" << f.height << " frame arrived torn";
    }
}

TEST_F(InPlacePublishing, FramesArriveWholeAcrossASizeChangeAndToASecondConsumerJoiningLate) {
    ASSERT_TRUE(sink_);
    FrameLog first;
    std::uint32_t next = 0;
    // An odd width: the buffers' rows are exactly the frame's.
    InPlaceFrames frames{frameServer_, 333, 211, {}};
    auto firstReceiver = receive(first.handler(), frames, next);
    ASSERT_TRUE(firstReceiver);
    ASSERT_TRUE(publishUntil(frames, next, [&] { return receivedInPlace(first, frames, 5); }))
        << "no frame written in place reached the consumer";

    InPlaceFrames resized{frameServer_, 160, 120, {}};
    EXPECT_TRUE(publishUntil(resized, next, [&] { return receivedInPlace(first, resized, 5); }))
        << "frames written in place after a size change did not arrive";

    FrameLog late;
    auto lateReceiver = receive(late.handler(), resized, next);
    ASSERT_TRUE(lateReceiver);
    const std::size_t joined = resized.inPlace.size();
    EXPECT_TRUE(publishUntil(resized, next, [&] {
        return receivedInPlace(first, resized, joined + 5) && receivedInPlace(late, resized, joined + 5);
    })) << "both consumers at once did not get frames written in place";

    firstReceiver.reset();
    lateReceiver.reset();
    expectAllIntact(first, "first consumer");
    expectAllIntact(late, "late consumer");
}

TEST_F(InPlacePublishing, ABufferAConsumerHoldsIsNeverWrittenMeanwhile) {
    ASSERT_TRUE(sink_);
    FrameLog log;
    std::uint32_t next = 0;
    InPlaceFrames frames{frameServer_, 320, 240, {}};
    auto receiver = receive(log.handler(), frames, next);
    ASSERT_TRUE(receiver);
    // A whole frame some way into the run: from the first lent buffer on, every frame is written in place.
    constexpr std::uint32_t kFirstHeld = 3;
    receiver->holdFirst([](const FrameView& view) {
        const auto index = patternIndex(view.width, view.height, view.pixels, view.bytesPerRow);
        return index.has_value() && *index >= kFirstHeld;
    });
    ASSERT_TRUE(publishUntil(frames, next, [&] { return receiver->held().has_value(); }));
    const FrameView held = *receiver->held();
    const std::vector<std::uint8_t> before(held.pixels, held.pixels + held.bytesPerRow * held.height);

    // More frames than the stream has buffers are written in place while the consumer holds its one.
    const std::size_t lentBefore = frames.inPlace.size();
    EXPECT_TRUE(publishUntil(frames, next, [&] { return frames.inPlace.size() >= lentBefore + 12; }))
        << "the node stopped lending buffers while one was held";
    EXPECT_TRUE(std::equal(before.begin(), before.end(), held.pixels)) << "a held buffer was written";
    receiver->release();
    const std::size_t released = frames.inPlace.size();
    EXPECT_TRUE(publishUntil(frames, next, [&] { return receivedInPlace(log, frames, released + 3); }));
    receiver.reset();
    expectAllIntact(log, "holding consumer");
}

}  // namespace
