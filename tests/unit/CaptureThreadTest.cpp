// The threaded stream every real provider's capture runs in: samples on the output's queue within the queue
// depth, a start that fails, an end the delegate hears of once, a stop that completes only after the worker has
// let go, a handle dropped mid-capture, configurations refused in the provider's own words, and frames written
// into a frame server's lent buffers. Then the paced loop the window providers run in it: when a picture is taken,
// how the thread sleeps, how a source's end ends it.

#include "common/CaptureThread.hpp"
#include "common/PacedCapture.hpp"
#include "WaitUntil.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>


namespace {

using namespace kestrova;
using namespace kestrova::platform;
using kestrova::testing::waitUntil;

constexpr std::chrono::milliseconds kBound{5000};

// What the test sees of the stream: samples, stops reported, and whether its worker is still alive.
struct Probe : StreamOutput, StreamDelegate {
    void streamDidOutputSampleBuffer(Stream&, const SampleBuffer& sample, int) override {
        std::lock_guard lock(mutex);
        samples.push_back(sample);
    }
    void streamDidStopWithError(Stream&, const Error& error) override {
        std::lock_guard lock(mutex);
        reported.push_back(error);
    }
    std::size_t sampleCount() {
        std::lock_guard lock(mutex);
        return samples.size();
    }
    std::mutex mutex;
    std::vector<SampleBuffer> samples;
    std::vector<Error> reported;
    std::atomic<int> workersAlive{0};
};

// Delivers `frames` frames (as many as the channel gives), then ends with `endWith` or waits for a stop.
class FakeWorker final : public CaptureWorker {
public:
    FakeWorker(CaptureChannel& channel, Probe& probe, std::optional<Error> openError, int frames,
               std::optional<Error> endWith)
        : channel_(channel), probe_(probe), openError_(std::move(openError)), frames_(frames),
          endWith_(std::move(endWith)) {
        ++probe_.workersAlive;
    }
    ~FakeWorker() override { --probe_.workersAlive; }
    std::optional<Error> open() override { return openError_; }
    std::optional<Error> run() override {
        for (int i = 0; i < frames_; ++i) {
            if (auto buffer = channel_.acquireFrame()) channel_.deliver(buffer);
        }
        if (endWith_) return endWith_;
        while (!channel_.stopWanted()) channel_.wait({}, std::nullopt);
        return std::nullopt;
    }

private:
    CaptureChannel& channel_;
    Probe& probe_;
    std::optional<Error> openError_;
    int frames_;
    std::optional<Error> endWith_;
};

// A completion that came, without an error.
bool succeeded(const std::optional<std::optional<Error>>& answer) { return answer && !*answer; }

StreamConfiguration configuration(std::uint32_t format = kPixelFormatBGRA, std::int64_t width = 64) {
    StreamConfiguration c;
    c.setPixelFormat(format);
    c.setWidth(width);
    c.setHeight(48);
    c.setQueueDepth(3);
    return c;
}

class ThreadedStreamTest : public ::testing::Test {
protected:
    std::shared_ptr<Stream> make(std::optional<Error> openError = {}, int frames = 0,
                                 std::optional<Error> endWith = {}, StreamConfiguration c = configuration(),
                                 std::weak_ptr<FrameBufferProvider> frameBuffers = {}) {
        auto stream = makeThreadedStream(
            c, probe_,
            [this, openError, frames, endWith](CaptureChannel& channel, const CaptureSettings&) {
                return std::make_unique<FakeWorker>(channel, *probe_, openError, frames, endWith);
            },
            [](std::string text) { return Error(std::move(text), "test.domain", 7); }, std::move(frameBuffers));
        EXPECT_FALSE(stream->addStreamOutput(probe_, 0, queue_));
        return stream;
    }
    // Runs the operation and gives its completion's answer once it came.
    std::optional<std::optional<Error>> complete(const std::function<void(StreamCompletion)>& operation) {
        auto answer = std::make_shared<std::optional<std::optional<Error>>>();
        auto mutex = std::make_shared<std::mutex>();
        operation([answer, mutex](std::optional<Error> e) {
            std::lock_guard lock(*mutex);
            *answer = std::move(e);
        });
        waitUntil([&] { std::lock_guard lock(*mutex); return answer->has_value(); }, kBound);
        std::lock_guard lock(*mutex);
        return *answer;
    }

    std::shared_ptr<Probe> probe_ = std::make_shared<Probe>();
    std::shared_ptr<SerialQueue> queue_ = std::make_shared<SerialQueue>("test.samples");
};

TEST_F(ThreadedStreamTest, SamplesAreCompleteAndBoundedByTheFramesConsumersStillHold) {
    auto stream = make({}, 10);
    ASSERT_TRUE(succeeded(complete([&](auto done) { stream->startCapture(done); })));
    // The probe keeps every sample, so the queue depth of 3 is all the worker could hand out.
    ASSERT_TRUE(waitUntil([&] { return probe_->sampleCount() == 3; }, kBound));
    {
        std::lock_guard lock(probe_->mutex);
        for (const auto& sample : probe_->samples) {
            ASSERT_TRUE(sample.imageBuffer);
            EXPECT_EQ(sample.imageBuffer->width(), 64u);
            const auto& array = std::get<AttachmentArray>(*sample.attachments);
            const auto& info = std::get<AttachmentDictionary>(array.at(0));
            EXPECT_EQ(std::get<std::int64_t>(info.at(std::string(kFrameInfoStatus))), 0);
        }
    }
    EXPECT_TRUE(succeeded(complete([&](auto done) { stream->stopCapture(done); })));
    EXPECT_EQ(probe_->workersAlive, 0);
    EXPECT_TRUE(probe_->reported.empty());
}

TEST_F(ThreadedStreamTest, AFailedStartAnswersTheStartAndIsNotReportedAsAnEnd) {
    auto stream = make(Error("no se abre", "test.domain", 1));
    const auto answer = complete([&](auto done) { stream->startCapture(done); });
    ASSERT_TRUE(answer && *answer);
    EXPECT_EQ((*answer)->description, "no se abre");
    ASSERT_TRUE(waitUntil([&] { return probe_->workersAlive == 0; }, kBound));
    EXPECT_TRUE(probe_->reported.empty());
}

TEST_F(ThreadedStreamTest, AnEndOnItsOwnIsReportedOnceAndTheFirstStopAfterItSucceeds) {
    auto stream = make({}, 1, Error("se cerró", "test.domain", 2));
    ASSERT_TRUE(succeeded(complete([&](auto done) { stream->startCapture(done); })));
    ASSERT_TRUE(waitUntil([&] { std::lock_guard lock(probe_->mutex); return !probe_->reported.empty(); }, kBound));
    EXPECT_EQ(probe_->reported.size(), 1u);
    EXPECT_EQ(probe_->reported[0].description, "se cerró");
    EXPECT_TRUE(succeeded(complete([&](auto done) { stream->stopCapture(done); })));
    const auto again = complete([&](auto done) { stream->stopCapture(done); });
    ASSERT_TRUE(again && *again);
    EXPECT_EQ((*again)->domain, "test.domain");
}

// A start that fails and a stop that comes before the thread has let go of everything: the stream stays stopped,
// and a second stop is refused, whenever the thread finishes.
TEST_F(ThreadedStreamTest, AStopWhileAFailedStartStillReleasesHoldsAndASecondStopIsRefused) {
    struct HeldWorker final : CaptureWorker {
        explicit HeldWorker(std::shared_future<void> release) : release_(std::move(release)) {}
        ~HeldWorker() override { release_.wait(); }
        std::optional<Error> open() override { return Error("no se abre", "test.domain", 1); }
        std::optional<Error> run() override { return std::nullopt; }
        std::shared_future<void> release_;
    };
    std::promise<void> release;
    auto token = std::make_shared<int>(0);
    auto stream = makeThreadedStream(
        configuration(), probe_,
        [released = release.get_future().share(), token](CaptureChannel&, const CaptureSettings&) {
            return std::make_unique<HeldWorker>(released);
        },
        [](std::string text) { return Error(std::move(text), "test.domain", 7); });
    const auto answer = complete([&](auto done) { stream->startCapture(done); });
    ASSERT_TRUE(answer && *answer);
    EXPECT_TRUE(succeeded(complete([&](auto done) { stream->stopCapture(done); })));
    release.set_value();
    // The thread's copy of the factory goes when it has finished: then only the stream's and this one remain.
    ASSERT_TRUE(waitUntil([&] { return token.use_count() == 2; }, kBound));
    const auto again = complete([&](auto done) { stream->stopCapture(done); });
    ASSERT_TRUE(again && *again) << "a stopped stream stopped a second time";
    EXPECT_EQ((*again)->code, 7);
    EXPECT_TRUE(probe_->reported.empty());
}

TEST_F(ThreadedStreamTest, AHandleDroppedMidCaptureStopsItsThreadSilently) {
    auto stream = make();
    ASSERT_TRUE(succeeded(complete([&](auto done) { stream->startCapture(done); })));
    ASSERT_EQ(probe_->workersAlive, 1);
    stream.reset();
    EXPECT_TRUE(waitUntil([&] { return probe_->workersAlive == 0; }, kBound));
    EXPECT_TRUE(probe_->reported.empty());
}

// Lends up to `lend` buffers of its own making, of the size asked for.
struct LendingProvider final : FrameBufferProvider {
    explicit LendingProvider(std::size_t lend) : lend(lend) {}
    PixelBufferRef acquireFrameBuffer(std::uint32_t width, std::uint32_t height) override {
        std::lock_guard lock(mutex);
        if (lent.size() >= lend) return nullptr;
        return lent.emplace_back(PixelBuffer::create(width, height));
    }
    std::mutex mutex;
    const std::size_t lend;
    std::vector<PixelBufferRef> lent;
};

// Lent buffers are the frame server's to bound, not the queue depth's; a provider that has gone lends nothing.
TEST_F(ThreadedStreamTest, FramesGoIntoLentBuffersWhileTheProviderLendsAndIntoTheStreamsOwnOtherwise) {
    const struct {
        bool providerAlive;
        std::size_t samples;
        std::size_t lentSamples;
    } cases[] = {{true, 5, 2}, {false, 3, 0}};
    for (const auto& c : cases) {
        probe_ = std::make_shared<Probe>();
        auto provider = std::make_shared<LendingProvider>(2);
        const std::weak_ptr<FrameBufferProvider> frameBuffers = provider;
        if (!c.providerAlive) provider.reset();
        auto stream = make({}, 5, {}, configuration(), frameBuffers);
        ASSERT_TRUE(succeeded(complete([&](auto done) { stream->startCapture(done); })));
        ASSERT_TRUE(waitUntil([&] { return probe_->sampleCount() == c.samples; }, kBound)) << c.providerAlive;
        EXPECT_TRUE(succeeded(complete([&](auto done) { stream->stopCapture(done); })));
        std::lock_guard lock(probe_->mutex);
        EXPECT_EQ(probe_->samples.size(), c.samples);
        for (std::size_t i = 0; i < probe_->samples.size(); ++i) {
            const auto& image = probe_->samples[i].imageBuffer;
            ASSERT_TRUE(image);
            EXPECT_EQ(image->width(), 64u);
            const bool lent = provider && std::find(provider->lent.begin(), provider->lent.end(), image) !=
                                              provider->lent.end();
            EXPECT_EQ(lent, i < c.lentSamples) << "sample " << i;
        }
    }
}

TEST_F(ThreadedStreamTest, RequestsItCannotServeAreRefusedInTheProvidersWords) {
    const struct {
        std::uint32_t format;
        std::int64_t width;
    } cases[] = {{0x52474241, 64}, {kPixelFormatBGRA, 0}, {kPixelFormatBGRA, 40000}};
    for (const auto& c : cases) {
        auto stream = make({}, 0, {}, configuration(c.format, c.width));
        const auto answer = complete([&](auto done) { stream->startCapture(done); });
        ASSERT_TRUE(answer && *answer);
        EXPECT_EQ((*answer)->domain, "test.domain");
        EXPECT_EQ((*answer)->code, 7);
    }
    auto idle = make();
    const auto notStarted = complete([&](auto done) { idle->stopCapture(done); });
    ASSERT_TRUE(notStarted && *notStarted);
    EXPECT_EQ(probe_->workersAlive, 0);
}

// --- The paced loop ----------------------------------------------------------------------------------------------

TEST(FramePacerTest, TakesOnAnIntervalsBeatAndALateTakeMovesTheBeatInsteadOfBunching) {
    using std::chrono::milliseconds;
    const FramePacer::Clock::time_point start{};
    FramePacer pacer(milliseconds(10));
    pacer.restart(start);
    const struct {
        int at;
        bool taken;
        int nextDue;
    } steps[] = {
        {0, true, 10},   // a fresh start takes at once
        {5, false, 10},  // too soon
        {10, true, 20},  // on the beat
        {35, true, 35},  // late: the beat moves to the late take, not to 30 and 40 in a rush
        {40, true, 45},
        {44, false, 45},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.at);
        EXPECT_EQ(pacer.take(start + milliseconds(step.at)), step.taken);
        EXPECT_EQ(pacer.due(), start + milliseconds(step.nextDue));
    }
}

// A source the test scripts: whether a picture waits, and at which update it ends. It records each sleep.
struct PacedScript {
    std::atomic<bool> ready{false};
    std::atomic<int> endAtUpdate{0};  // 0: never
    std::atomic<int> updates{0};
    std::atomic<int> takes{0};
    std::mutex mutex;
    std::vector<bool> sleepDeadlines;  // whether each sleep had a deadline
};

class ScriptedPacedWorker final : public PacedWorker {
public:
    ScriptedPacedWorker(CaptureChannel& channel, const CaptureSettings& settings, std::shared_ptr<PacedScript> script)
        : PacedWorker(channel, settings), script_(std::move(script)) {}
    std::optional<Error> open() override {
        restartPacing();
        return std::nullopt;
    }

private:
    std::optional<Error> update() override {
        if (++script_->updates == script_->endAtUpdate) return Error("se acabó", "test.domain", 3);
        return std::nullopt;
    }
    bool ready() const override { return script_->ready; }
    void take() override {
        ++script_->takes;
        if (auto buffer = channel_.acquireFrame()) channel_.deliver(buffer);
    }
    void wait(std::optional<FramePacer::Clock::time_point> deadline) override {
        {
            std::lock_guard lock(script_->mutex);
            script_->sleepDeadlines.push_back(deadline.has_value());
        }
        channel_.wait({}, deadline);
    }

    std::shared_ptr<PacedScript> script_;
};

class PacedWorkerTest : public ThreadedStreamTest {
protected:
    std::shared_ptr<Stream> makePaced() {
        auto stream = makeThreadedStream(
            configuration(), probe_,
            [script = script_](CaptureChannel& channel, const CaptureSettings& settings) {
                return std::make_unique<ScriptedPacedWorker>(channel, settings, script);
            },
            [](std::string text) { return Error(std::move(text), "test.domain", 7); });
        EXPECT_FALSE(stream->addStreamOutput(probe_, 0, queue_));
        return stream;
    }
    std::vector<bool> sleeps() {
        std::lock_guard lock(script_->mutex);
        return script_->sleepDeadlines;
    }

    std::shared_ptr<PacedScript> script_ = std::make_shared<PacedScript>();
};

TEST_F(PacedWorkerTest, WithNothingToTakeItSleepsWithoutADeadlineUntilAStop) {
    auto stream = makePaced();
    ASSERT_TRUE(succeeded(complete([&](auto done) { stream->startCapture(done); })));
    ASSERT_TRUE(waitUntil([&] { return !sleeps().empty(); }, kBound));
    EXPECT_TRUE(succeeded(complete([&](auto done) { stream->stopCapture(done); })));
    EXPECT_EQ(script_->takes, 0);
    for (const bool deadline : sleeps()) EXPECT_FALSE(deadline) << "a sleep with nothing to take woke on a timer";
    EXPECT_TRUE(probe_->reported.empty());
}

TEST_F(PacedWorkerTest, AWaitingPictureIsTakenAndBetweenTakesItSleepsOnlyUntilTheNextIsDue) {
    script_->ready = true;
    auto stream = makePaced();
    ASSERT_TRUE(succeeded(complete([&](auto done) { stream->startCapture(done); })));
    ASSERT_TRUE(waitUntil([&] { return script_->takes >= 3; }, kBound));
    EXPECT_TRUE(succeeded(complete([&](auto done) { stream->stopCapture(done); })));
    EXPECT_GE(probe_->sampleCount(), 1u);
    // Taking every picture at once would never sleep; sleeping without a deadline would stall a ready source.
    const auto taken = sleeps();
    EXPECT_FALSE(taken.empty());
    for (const bool deadline : taken) EXPECT_TRUE(deadline);
}

TEST_F(PacedWorkerTest, AnEndTheSourceReportsEndsTheStreamWithItsError) {
    script_->ready = true;
    script_->endAtUpdate = 3;
    auto stream = makePaced();
    ASSERT_TRUE(succeeded(complete([&](auto done) { stream->startCapture(done); })));
    ASSERT_TRUE(waitUntil([&] { std::lock_guard lock(probe_->mutex); return !probe_->reported.empty(); }, kBound));
    EXPECT_EQ(probe_->reported.at(0).description, "se acabó");
    EXPECT_EQ(script_->updates, 3) << "the loop went on after the source ended";
    EXPECT_LE(script_->takes, 2);
}

}  // namespace
