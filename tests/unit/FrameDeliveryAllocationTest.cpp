// Handing a captured frame to the outputs takes no new memory once the stream runs: the sample, its attachments,
// the closure that carries it and the output queue's storage are all reused. Memory taken on the capture thread is
// counted through this binary's own operator new; sanitizer builds bring their own, so the count is skipped there.

#include "common/CaptureThread.hpp"
#include "WaitUntil.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTROVA_COUNTS_ALLOCATIONS 0
#else
#define KESTROVA_COUNTS_ALLOCATIONS 1

namespace {
thread_local bool counting = false;
thread_local std::size_t allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
    if (counting) ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// These are the replacements themselves: what operator new took from malloc goes back to free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
#endif

namespace {

using namespace kestrova;
using namespace kestrova::platform;

constexpr std::chrono::milliseconds kBound{5000};
constexpr int kWarmUp = 32;
constexpr int kMeasured = 200;

// Lets go of every sample at once, as the bridge does once it has published the frame.
struct Consumer : StreamOutput {
    void streamDidOutputSampleBuffer(Stream&, const SampleBuffer& sample, int) override {
        if (sample.imageBuffer && sample.attachments) ++received;
    }
    std::atomic<int> received{0};
};

struct NoDelegate : StreamDelegate {
    void streamDidStopWithError(Stream&, const Error&) override {}
};

// Delivers frames one at a time, each once the previous one reached the consumer, counting the memory taken on
// the capture thread after a warm-up.
class CountingWorker final : public CaptureWorker {
public:
    CountingWorker(CaptureChannel& channel, Consumer& consumer, std::atomic<long>& counted)
        : channel_(channel), consumer_(consumer), counted_(counted) {}
    std::optional<Error> open() override { return std::nullopt; }
    std::optional<Error> run() override {
        for (int i = 0; i < kWarmUp + kMeasured; ++i) {
            const auto deadline = std::chrono::steady_clock::now() + kBound;
#if KESTROVA_COUNTS_ALLOCATIONS
            counting = i >= kWarmUp;
#endif
            if (auto buffer = channel_.acquireFrame()) channel_.deliver(buffer);
#if KESTROVA_COUNTS_ALLOCATIONS
            counting = false;
#endif
            while (consumer_.received <= i && std::chrono::steady_clock::now() < deadline) {
                channel_.wait({}, std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
            }
        }
#if KESTROVA_COUNTS_ALLOCATIONS
        counted_ = static_cast<long>(allocations);
#endif
        while (!channel_.stopWanted()) channel_.wait({}, std::nullopt);
        return std::nullopt;
    }

private:
    CaptureChannel& channel_;
    Consumer& consumer_;
    std::atomic<long>& counted_;
};

TEST(FrameDelivery, TakesNoNewMemoryPerFrameOnceRunning) {
    if (!KESTROVA_COUNTS_ALLOCATIONS) GTEST_SKIP() << "sanitizers replace operator new";
    auto consumer = std::make_shared<Consumer>();
    auto delegate = std::make_shared<NoDelegate>();
    auto queue = std::make_shared<SerialQueue>("test.delivery");
    std::atomic<long> counted{-1};
    StreamConfiguration c;
    c.setPixelFormat(kPixelFormatBGRA);
    c.setWidth(64);
    c.setHeight(48);
    c.setQueueDepth(3);
    auto stream = makeThreadedStream(
        c, delegate,
        [&](CaptureChannel& channel, const CaptureSettings&) {
            return std::make_unique<CountingWorker>(channel, *consumer, counted);
        },
        [](std::string text) { return Error(std::move(text), "test.domain", 7); });
    ASSERT_FALSE(stream->addStreamOutput(consumer, 0, queue));
    std::atomic<bool> started{false}, stopped{false};
    stream->startCapture([&](std::optional<Error> e) { started = !e; });
    ASSERT_TRUE(kestrova::testing::waitUntil([&] { return counted >= 0; }, kBound * 2));
    EXPECT_TRUE(started);
    EXPECT_EQ(consumer->received, kWarmUp + kMeasured) << "every frame reached the consumer";
    EXPECT_EQ(counted, 0) << "allocations on the capture thread over " << kMeasured << " frames";
    stream->stopCapture([&](std::optional<Error>) { stopped = true; });
    EXPECT_TRUE(kestrova::testing::waitUntil([&] { return stopped.load(); }, kBound));
}

}  // namespace
