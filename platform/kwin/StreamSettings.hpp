#pragma once

#include "Error.hpp"
#include "ScreenCapture.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <variant>

namespace kestrova::platform::kwin {

inline constexpr std::uint32_t kPixelFormatBGRA = 0x42475241;  // 'BGRA'

// What a stream needs of its configuration, checked once.
struct StreamSettings {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::chrono::nanoseconds interval{};
    std::size_t queueDepth = 0;
};

// The settings, or the error that refuses the configuration: only BGRA output, of a size that can be mapped, with
// the interval held between a 60th of a second and an hour and the queue depth between 1 and 8.
std::variant<StreamSettings, Error> settingsOf(const StreamConfiguration& configuration);

}  // namespace kestrova::platform::kwin
