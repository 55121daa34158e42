// Two and three consumers linked while the window is 640x480, then a switch to an 800x600 window: every consumer
// must go on with whole frames of the new size, even when the window sends only one. A consumer lost on the way is
// a matter of timing in the daemon, so each case runs a number of rounds, each with a node and consumers of its own
// (KESTROVA_SWITCH_ROUNDS sets how many), and reports how many rounds lost a consumer; scripts/switch-matrix reads
// that report. GStreamer's cases need a pipewiresrc that can follow a size change at all.

#include "FrameServer.hpp"
#include "pipewire/PipeWireFrameServer.hpp"
#include "PipeWireTestSupport.hpp"
#include "SinkOf.hpp"
#include "SizeSwitchConsumers.hpp"
#include "SyphonFrameSink.hpp"
#include "WaitUntil.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace platform = kestrova::platform;
using kestrova::SyphonFrameSink;
using kestrova::testing::SizeSwitchConsumer;
using kestrova::testing::waitUntil;
using Kind = SizeSwitchConsumer::Kind;

const std::string kNodeName = "Kestrova Bridge";
constexpr auto kBound = std::chrono::seconds(15);
// Before the node paused for a new size, on PipeWire 0.3.65 two consumers lost one in 1 to 7 rounds of 18 and
// three in 11 to 12 of 18: twelve rounds of three show that all but always, in some seconds.
constexpr int kRounds = 12;
constexpr std::uint32_t kBeforeWidth = 640;
constexpr std::uint32_t kBeforeHeight = 480;
constexpr std::uint32_t kAfterWidth = 800;
constexpr std::uint32_t kAfterHeight = 600;

int rounds() {
    const char* value = std::getenv("KESTROVA_SWITCH_ROUNDS");
    const int asked = value != nullptr ? std::atoi(value) : 0;
    return asked > 0 ? asked : kRounds;
}

// Pattern frames written in the node's own buffer when it lends one, as the capture does.
kestrova::testing::FrameMaker framesOf(platform::FrameBufferProvider& frameBuffers, std::uint32_t width,
                                      std::uint32_t height) {
    return [&frameBuffers, width, height](std::uint32_t index) {
        auto pattern = kestrova::testing::patternFrame(width, height, index);
        auto lent = frameBuffers.acquireFrameBuffer(width, height);
        if (!lent) return pattern;
        std::memcpy(lent->bytes(), pattern->bytes(), pattern->byteCount());
        return lent;
    };
}

struct Round {
    bool linked = false;  // every consumer had whole frames of the first size before the switch
    int lost = 0;         // consumers without whole frames of the new size after it
    std::string why;
};

Round runRound(Kind kind, int count) {
    Round round;
    platform::pipewire::PipeWireFrameServer frameServer(kNodeName);
    auto sink = kestrova::testing::sinkOf(frameServer);
    if (!sink) {
        round.why = "no frame server";
        return round;
    }
    const auto publish = [&sink](const platform::PixelBufferRef& frame) { sink->publish(frame); };
    std::uint32_t next = 0;
    if (!kestrova::testing::publishUntilLinkable(publish, framesOf(frameServer, kBeforeWidth, kBeforeHeight), next, kNodeName,
                                                 kBound)) {
        round.why = "the node could not be linked";
        return round;
    }
    std::vector<std::unique_ptr<SizeSwitchConsumer>> consumers;
    for (int i = 0; i < count; ++i) consumers.push_back(SizeSwitchConsumer::start(kind, kNodeName));
    // Every consumer has whole frames of that size, or one of them went wrong, which no later frame mends.
    const auto settled = [&consumers](std::uint32_t width, std::uint32_t height) {
        const auto faulty = [](const auto& consumer) { return !consumer->fault().empty(); };
        const auto reached = [&](const auto& consumer) { return consumer->received(width, height); };
        return std::any_of(consumers.begin(), consumers.end(), faulty) ||
               std::all_of(consumers.begin(), consumers.end(), reached);
    };
    kestrova::testing::publishUntil(publish, framesOf(frameServer, kBeforeWidth, kBeforeHeight), next,
                                    [&] { return settled(kBeforeWidth, kBeforeHeight); }, kBound);
    round.linked = std::all_of(consumers.begin(), consumers.end(),
                               [](const auto& consumer) { return consumer->received(kBeforeWidth, kBeforeHeight); });
    if (round.linked && kind == Kind::Receiver) {
        // One frame of the new size and no more, as from a window that then stays still: the node sends it to
        // every consumer once they follow.
        publish(framesOf(frameServer, kAfterWidth, kAfterHeight)(next++));
        waitUntil([&] { return settled(kAfterWidth, kAfterHeight); }, kBound);
    } else if (round.linked) {
        // gst-launch writes what passed only a good many frames at a time.
        kestrova::testing::publishUntil(publish, framesOf(frameServer, kAfterWidth, kAfterHeight), next,
                                        [&] { return settled(kAfterWidth, kAfterHeight); }, kBound);
    }
    for (const auto& consumer : consumers) {
        const std::string fault = consumer->fault();
        const bool followed = consumer->received(kAfterWidth, kAfterHeight) && fault.empty();
        if (followed) continue;
        ++round.lost;
        if (round.why.empty()) round.why = fault.empty() ? "a consumer had no whole frame of the new size" : fault;
    }
    consumers.clear();
    sink.reset();
    kestrova::testing::nodeGone(kNodeName);
    return round;
}

struct SwitchCase {
    Kind kind;
    int consumers;
};

void PrintTo(const SwitchCase& c, std::ostream* os) { *os << kindName(c.kind) << " x" << c.consumers; }

class SizeSwitch : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(SizeSwitch, EveryConsumerFollowsAWindowOfAnotherSize) {
    const auto& c = GetParam();
    // KESTROVA_SWITCH_EVERY_PLUGIN runs them anyway, to show what such a consumer gets.
    if (c.kind == Kind::GStreamer && std::getenv("KESTROVA_SWITCH_EVERY_PLUGIN") == nullptr &&
        !kestrova::testing::gstreamerFollowsSizeChanges()) {
        std::cout << "switch: " << kindName(c.kind) << " x" << c.consumers
                  << ": skipped, the installed pipewiresrc cannot follow a size change" << std::endl;
        GTEST_SKIP() << "the installed pipewiresrc cannot follow its node to another size";
    }
    const int runs = rounds();
    int unlinked = 0;
    int losing = 0;
    int lost = 0;
    std::map<std::string, int> reasons;
    for (int i = 0; i < runs; ++i) {
        const Round round = runRound(c.kind, c.consumers);
        unlinked += round.linked ? 0 : 1;
        losing += round.lost > 0 ? 1 : 0;
        lost += round.lost;
        if (round.why.empty()) continue;
        ++reasons[round.why];
        ADD_FAILURE() << "round " << i + 1 << ": " << round.why;
    }
    // What scripts/switch-matrix collects.
    std::cout << "switch: " << kindName(c.kind) << " x" << c.consumers << ": " << runs << " runs, " << losing
              << " lost a consumer (" << lost << " consumers), " << unlinked << " not linked before the switch\n";
    for (const auto& [why, count] : reasons) std::cout << "switch:   " << count << " x " << why << "\n";
    std::cout << std::flush;
}

INSTANTIATE_TEST_SUITE_P(Consumers, SizeSwitch,
                         ::testing::Values(SwitchCase{Kind::Receiver, 2}, SwitchCase{Kind::Receiver, 3},
                                           SwitchCase{Kind::GStreamer, 2}, SwitchCase{Kind::GStreamer, 3}),
                         [](const auto& info) {
                             return std::string(kindName(info.param.kind)) + std::to_string(info.param.consumers);
                         });

}  // namespace
