#include "CaptureChecks.hpp"

#include "DemoPattern.hpp"
#include "WaitUntil.hpp"

#include <gtest/gtest.h>


namespace kestrova::testing {

using namespace std::chrono_literals;

platform::ShareableContentAnswer listWindows(platform::ManualLoop& loop, platform::ScreenCaptureService& service,
                                             std::chrono::milliseconds bound) {
    // The answer arrives on the provider's thread and is handed to the main queue, which the loop runs.
    auto answer = std::make_shared<std::optional<platform::ShareableContentAnswer>>();
    service.getShareableContent(true, false, [answer](platform::ShareableContentAnswer a) {
        platform::mainQueue().post([answer, a = std::move(a)] { *answer = a; });
    });
    if (!loop.runUntil([&] { return answer->has_value(); }, bound)) {
        return platform::ShareableContentAnswer(platform::Error("no answer within the bound"));
    }
    return **answer;
}

platform::ShareableContentAnswer listUntil(platform::ManualLoop& loop, platform::ScreenCaptureService& service,
                                           const std::function<bool(const platform::ShareableContent&)>& done,
                                           std::chrono::milliseconds bound) {
    platform::ShareableContentAnswer answer;
    (void)waitUntil(
        [&] {
            answer = listWindows(loop, service, bound);
            return answer.content && done(*answer.content);
        },
        bound, 50ms);
    return answer;
}

platform::Window titled(const platform::ShareableContent& content, const std::string& title) {
    for (const auto& window : content.windows) {
        if (window->title == title) return window;
    }
    return nullptr;
}

bool shutDown(platform::ManualLoop& loop, std::shared_ptr<CaptureBridge> bridge, std::chrono::milliseconds bound) {
    bool done = false;
    platform::spawn([](std::shared_ptr<CaptureBridge> shutting, bool& finished) -> platform::Task<> {
        co_await shutting->shutdown();
        finished = true;
    }(std::move(bridge), done));
    return loop.runUntil([&] { return done; }, bound);
}

void RecordingSink::publish(const platform::PixelBufferRef& buffer) {
    SeenFrame seen{buffer->width(), buffer->height(), std::nullopt, 0, true};
    seen.counter = demo::decode(buffer->bytes(), buffer->bytesPerRow(), buffer->width(), buffer->height());
    const std::uint8_t* p =
        buffer->bytes() + buffer->height() * 3 / 4 * buffer->bytesPerRow() + buffer->width() / 2 * 4;
    seen.body = std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
    for (std::uint32_t y = 0; y < buffer->height() && seen.opaque; ++y) {
        const std::uint8_t* row = buffer->bytes() + y * buffer->bytesPerRow();
        for (std::uint32_t x = 0; x < buffer->width(); ++x) {
            seen.opaque = seen.opaque && row[4 * std::size_t{x} + 3] == 0xFF;
        }
    }
    {
        std::lock_guard lock(mutex_);
        frames_.push_back(seen);
    }
    // Wakes the test's loop, which waits for work on the main queue.
    platform::mainQueue().post([] {});
}

std::vector<SeenFrame> RecordingSink::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

std::size_t RecordingSink::count() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
}

void expectAdvancingFrames(const std::vector<SeenFrame>& frames, std::size_t from, std::uint32_t width,
                           std::uint32_t height, std::optional<std::uint32_t> body) {
    ASSERT_GT(frames.size(), from + 1);
    for (std::size_t i = from; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        EXPECT_EQ(frames[i].width, width);
        EXPECT_EQ(frames[i].height, height);
        ASSERT_TRUE(frames[i].counter);
        if (body) {
            EXPECT_EQ(frames[i].body, *body);
        }
        if (i > from) {
            EXPECT_GE(*frames[i].counter, *frames[i - 1].counter);
        }
    }
    EXPECT_GT(*frames.back().counter, *frames[from].counter);
}

}  // namespace kestrova::testing
