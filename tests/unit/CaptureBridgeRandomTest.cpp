#include "CaptureBridge.hpp"
#include "SyphonFrameSink.hpp"
#include "scripted/Samples.hpp"
#include "scripted/ScriptedFrameServer.hpp"
#include "scripted/ScriptedScreenCapture.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

using kestrova::CaptureBridge;
namespace platform = kestrova::platform;
namespace scripted = kestrova::platform::scripted;
using namespace std::chrono_literals;

namespace {

// One seeded run: random capture, stop and shutdown calls interleaved with random completion orders, outcomes and
// threads, and frames from whatever runs; then everything is released and the invariants are checked.
class RandomRun {
public:
    explicit RandomRun(unsigned seed) : rng_(seed), stopsMayFail_(seed % 2 == 0) {
        bridge_ = CaptureBridge::create(kestrova::SyphonFrameSink::create(server_.deviceFactory()), *service_);
        bridge_->onError = [this](const platform::Error& e) { errors_.push_back(e.description); };
    }

    void play() {
        const int steps = pick(5, 40);
        for (int i = 0; i < steps && !shutDown(); ++i) step();
        settle();
    }

    void check() {
        EXPECT_EQ(bridge_->generation(), calls_) << "generation equals the number of calls";

        const std::string latest = "W" + std::to_string(calls_);
        std::vector<std::shared_ptr<scripted::ScriptedStream>> running;
        for (const auto& s : service_->streams()) {
            if (s->running()) running.push_back(s);
        }
        if (!stopFailed_) {
            ASSERT_LE(running.size(), 1u) << "at most one stream runs";
            if (!running.empty()) {
                EXPECT_TRUE(lastWasCapture_) << "a stream runs after a stop";
                EXPECT_EQ(running.front()->name(), latest) << "only the latest call's stream runs";
                EXPECT_TRUE(bridge_->hasStream());
            }
            if (lastWasCapture_ && !shutDown()) {
                auto last = service_->lastStream();
                ASSERT_TRUE(last) << "the latest call made a stream";
                EXPECT_EQ(last->name(), latest);
                const bool failed = std::count(expectedStartErrors_.begin(), expectedStartErrors_.end(),
                                               "start " + latest) > 0;
                EXPECT_EQ(last->running(), !failed) << "the latest call's stream runs unless its start failed";
            }
        } else {
            for (const auto& s : running) {
                if (lastWasCapture_ && s->name() == latest) continue;
                EXPECT_TRUE(failedStops_.count(s->name())) << s->name() << " runs though its stops succeeded";
            }
        }

        std::vector<std::string> startErrors;
        for (const auto& e : errors_) {
            if (e.rfind("start ", 0) == 0) startErrors.push_back(e);
        }
        std::sort(startErrors.begin(), startErrors.end());
        auto expected = expectedStartErrors_;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(startErrors, expected) << "each start failure of the latest call is reported once, no other";

        if (shutDown() && !stopFailed_) {
            for (const auto& s : service_->streams()) {
                s->deliver(scripted::completeSample(frame_));
                s->waitForDeliveries();
            }
            EXPECT_EQ(server_.record().publishedAfterStop(), 0) << "no publish after the sink's stop" << dump();
        }
        const auto events = server_.record().events();
        EXPECT_EQ(std::count(events.begin(), events.end(), "stop"), shutDown() ? 1 : 0);
    }

    std::string dump() {
        std::string out;
        for (auto& e : log_.events()) out += "\n  " + e;
        for (auto& e : server_.record().events()) out += "\n  server " + e;
        for (auto& e : errors_) out += "\n  error " + e;
        return out;
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    bool chance(int percent) { return pick(1, 100) <= percent; }
    bool shutDown() const {
        return std::any_of(shutdowns_.begin(), shutdowns_.end(), [](const auto& r) { return *r == true; });
    }
    scripted::On thread() { return chance(50) ? scripted::On::otherThread : scripted::On::caller; }

    void step() {
        // While a shutdown runs the application makes no calls of its own; a later call would outlive the sink.
        const bool calm = shutdownsFinished();
        switch (pick(0, 9)) {
        case 0:
        case 1:
            if (!calm) break;
            ++calls_;
            lastWasCapture_ = true;
            bridge_->capture(window("W" + std::to_string(calls_)));
            break;
        case 2:
            if (!calm) break;
            ++calls_;
            lastWasCapture_ = false;
            bridge_->stopCapture();
            break;
        case 3: {
            if (!calm) break;
            ++calls_;
            lastWasCapture_ = false;
            auto result = std::make_shared<std::optional<bool>>();
            platform::spawn([](std::shared_ptr<CaptureBridge> b, std::shared_ptr<std::optional<bool>> out)
                                -> platform::Task<> { *out = co_await b->shutdown(); }(bridge_, result));
            shutdowns_.push_back(result);
            break;
        }
        case 4:
        case 5:
        case 6:
        case 7:
            releaseOne(true);
            break;
        case 8:
            deliverOne();
            break;
        default:
            loop_.advance(10ms);
            break;
        }
        loop_.runUntilIdle();
    }

    // Releases one held completion of a random stream; false when nothing is held.
    bool releaseOne(bool mayFail) {
        std::vector<std::shared_ptr<scripted::ScriptedStream>> holding;
        for (const auto& s : service_->streams()) {
            if (s->pendingStarts() || s->pendingStops()) holding.push_back(s);
        }
        if (holding.empty()) return false;
        auto s = holding[pick(0, int(holding.size()) - 1)];
        const bool start = s->pendingStarts() && (!s->pendingStops() || chance(50));
        if (start) {
            if (mayFail && chance(30)) {
                // The resumed task sees the generation as it is now: only then is the call still the latest.
                if (s->name() == "W" + std::to_string(calls_)) expectedStartErrors_.push_back("start " + s->name());
                s->releaseStart(platform::Error("start " + s->name()), thread());
            } else {
                s->releaseStart(std::nullopt, thread());
            }
        } else if (mayFail && stopsMayFail_ && chance(30)) {
            stopFailed_ = true;
            failedStops_.insert(s->name());
            s->releaseStop(platform::Error("stop " + s->name()), thread());
        } else {
            s->releaseStop(std::nullopt, thread());
        }
        loop_.runUntilIdle();
        return true;
    }

    void deliverOne() {
        for (const auto& s : service_->streams()) {
            if (s->running()) s->deliver(scripted::completeSample(frame_));
        }
    }

    bool shutdownsFinished() const {
        return std::all_of(shutdowns_.begin(), shutdowns_.end(), [](const auto& r) { return r->has_value(); });
    }

    // Lets everything outstanding finish: held completions succeed (starts may still fail), polls and drains run.
    void settle() {
        for (int round = 0; round < 1000; ++round) {
            while (releaseOne(false)) {
            }
            loop_.advance(10ms);
            loop_.runUntil([this] { return shutdownsFinished(); }, 20ms);
            if (shutdownsFinished() && loop_.readyCount() == 0 && loop_.timerCount() == 0 && !holding()) return;
        }
        ADD_FAILURE() << "the bridge did not settle";
    }

    bool holding() const {
        const auto streams = service_->streams();
        return std::any_of(streams.begin(), streams.end(),
                           [](const auto& s) { return s->pendingStarts() || s->pendingStops(); });
    }

    static platform::Window window(std::string title) {
        auto r = std::make_shared<platform::WindowRecord>();
        r->title = std::move(title);
        r->frame = {0, 0, 4, 3};
        return r;
    }

    std::mt19937 rng_;
    const bool stopsMayFail_;
    platform::ManualLoop loop_;
    scripted::EventLog log_;
    std::shared_ptr<scripted::ScriptedScreenCapture> service_ = std::make_shared<scripted::ScriptedScreenCapture>(log_);
    scripted::ScriptedFrameServer server_;
    std::shared_ptr<CaptureBridge> bridge_;
    const platform::PixelBufferRef frame_ = platform::PixelBuffer::create(8, 6);
    std::vector<std::string> errors_;
    std::vector<std::string> expectedStartErrors_;
    std::set<std::string> failedStops_;
    std::vector<std::shared_ptr<std::optional<bool>>> shutdowns_;
    std::int64_t calls_ = 0;
    bool lastWasCapture_ = false;
    bool stopFailed_ = false;
};

// The sanitizer builds set fewer runs (tests/CMakeLists.txt).
#ifndef KESTROVA_RANDOM_RUNS
#define KESTROVA_RANDOM_RUNS 2000
#endif

TEST(CaptureBridgeRandomTest, InvariantsHoldOverRandomCallsAndCompletions) {
    constexpr unsigned kRuns = KESTROVA_RANDOM_RUNS;
    for (unsigned seed = 1; seed <= kRuns; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RandomRun run(seed);
        run.play();
        run.check();
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace
