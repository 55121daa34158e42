#include "StreamSettings.hpp"

#include "Compositor.hpp"

#include <algorithm>

namespace kestrova::platform::kwin {

namespace {

constexpr std::int64_t kLargestSide = 32768;
constexpr std::int64_t kLargestFrameBytes = std::int64_t{1} << 30;
constexpr std::chrono::nanoseconds kShortestInterval{1'000'000'000 / 60};
constexpr std::chrono::nanoseconds kLongestInterval = std::chrono::hours(1);
constexpr int kDeepestQueue = 8;

}  // namespace

std::variant<StreamSettings, Error> settingsOf(const StreamConfiguration& configuration) {
    if (configuration.pixelFormat() != kPixelFormatBGRA) {
        return makeError(ErrorCode::invalidRequest, "La captura solo puede entregar píxeles BGRA de 32 bits");
    }
    const std::int64_t w = configuration.width();
    const std::int64_t h = configuration.height();
    if (w < 1 || h < 1 || w > kLargestSide || h > kLargestSide || w * h * 4 > kLargestFrameBytes) {
        return makeError(ErrorCode::invalidRequest, "El tamaño de salida pedido para la captura no es válido");
    }
    StreamSettings settings;
    settings.width = static_cast<std::uint32_t>(w);
    settings.height = static_cast<std::uint32_t>(h);
    const Time t = configuration.minimumFrameInterval();
    const double seconds = t.value > 0 && t.timescale > 0 ? double(t.value) / t.timescale : 0;
    settings.interval = std::chrono::nanoseconds(static_cast<std::int64_t>(
        std::clamp(seconds * 1e9, double(kShortestInterval.count()), double(kLongestInterval.count()))));
    settings.queueDepth = static_cast<std::size_t>(std::clamp(configuration.queueDepth(), 1, kDeepestQueue));
    return settings;
}

}  // namespace kestrova::platform::kwin
