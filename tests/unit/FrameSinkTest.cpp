#include "FrameSink.hpp"
#include "common/PixelBufferPool.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using kestrova::DiagnosticFrameSink;
using kestrova::platform::PixelBuffer;

namespace {

TEST(DiagnosticFrameSinkTest, IsUnavailableWithItsFixedName) {
    DiagnosticFrameSink sink;
    EXPECT_FALSE(sink.isAvailable());
    EXPECT_EQ(sink.name(), "Captura activa; Syphon no está enlazado");
    EXPECT_EQ(sink.name().size(), 40u);  // bytes in UTF-8
    EXPECT_EQ(sink.frameCount(), 0);
}

TEST(DiagnosticFrameSinkTest, CountsEveryFrameFromConcurrentPublishersAndAfterStop) {
    DiagnosticFrameSink sink;
    const auto frame = PixelBuffer::create(3, 2);
    ASSERT_TRUE(frame);
    std::vector<std::thread> publishers;
    for (int t = 0; t < 4; ++t) {
        publishers.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) sink.publish(i % 2 ? frame : nullptr);
        });
    }
    for (auto& p : publishers) p.join();
    EXPECT_EQ(sink.frameCount(), 4000);
    sink.stop();
    sink.publish(frame);
    EXPECT_EQ(sink.frameCount(), 4001);
}

TEST(PixelBufferTest, IsMemfdBackedBGRAWithTightRows) {
    const auto frame = PixelBuffer::create(5, 4);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->bytesPerRow(), 20u);
    EXPECT_EQ(frame->byteCount(), 80u);
    EXPECT_EQ(frame->pixelFormat(), 0x42475241u);
    EXPECT_GE(frame->fd(), 0);
    frame->bytes()[79] = 0xAB;
    EXPECT_EQ(frame->bytes()[79], 0xAB);
    EXPECT_FALSE(PixelBuffer::create(0, 4));
    EXPECT_FALSE(PixelBuffer::create(0xFFFFFFFFu, 0xFFFFFFFFu));
}

TEST(PixelBufferPoolTest, ReusesReleasedBuffersAndOutlivesItsPool) {
    auto pool = kestrova::platform::PixelBufferPool::create(8, 8, 2);
    auto first = pool->acquire();
    ASSERT_TRUE(first);
    const auto* memory = first->bytes();
    first.reset();
    auto again = pool->acquire();
    EXPECT_EQ(again->bytes(), memory);
    pool.reset();  // the buffer still held is freed on its own later
    EXPECT_EQ(again->width(), 8u);
}

}  // namespace
