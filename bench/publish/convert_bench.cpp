// CPU per frame of writing a doubled 800x600 window (1600x1200 BGRA) into a stream buffer in each layout a
// consumer may agree on: a plain copy for BGRA, a libyuv conversion for NV12 and I420.

#include "pipewire/FrameConversion.hpp"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

using kestrova::platform::pipewire::BgraFrame;
using kestrova::platform::pipewire::PixelLayout;
using kestrova::platform::pipewire::VideoFormat;

constexpr std::uint32_t kWidth = 1600;
constexpr std::uint32_t kHeight = 1200;

void convert(benchmark::State& state, PixelLayout pixelLayout) {
    std::vector<std::uint8_t> frame(std::size_t{kWidth} * kHeight * 4);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
    const VideoFormat format{pixelLayout, kWidth, kHeight};
    const auto layout = kestrova::platform::pipewire::frameLayout(format, kestrova::platform::pipewire::RowPadding::None);
    std::vector<std::uint8_t> buffer(layout.size);
    const BgraFrame source{frame.data(), std::size_t{kWidth} * 4, kWidth, kHeight};
    for (auto _ : state) {
        kestrova::platform::pipewire::convertFrame(source, format, layout, buffer.data());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
}

BENCHMARK_CAPTURE(convert, BGRA_copy, PixelLayout::BGRA)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, NV12, PixelLayout::NV12)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, I420, PixelLayout::I420)->Unit(benchmark::kMillisecond);

}  // namespace
