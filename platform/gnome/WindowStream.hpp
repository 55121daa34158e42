#pragma once

#include "FrameServer.hpp"
#include "ShellWindows.hpp"
#include "common/PipeWireInput.hpp"

#include <cstdint>
#include <memory>
#include <optional>

namespace kestrova::platform::gnome {

// The part of a cast picture that shows the window itself: the picture holds the window's buffer (the frame and
// its client-side shadow), scaled alike in both directions; the frame's place in the buffer is cut out of it.
InputRegion frameWithin(const ShellWindow& window, std::uint32_t pictureWidth, std::uint32_t pictureHeight);

// A stream of one window by Meta's id (none when the window was never listed). Started, it runs one thread with a
// bus connection of its own, on which Mutter casts the window to a PipeWire node once it has a size, and a
// PipeWire connection from which it takes the window's pictures, at most one per frame interval.
std::shared_ptr<Stream> makeWindowStream(std::optional<std::uint64_t> windowID,
                                         const StreamConfiguration& configuration,
                                         std::weak_ptr<StreamDelegate> delegate,
                                         std::weak_ptr<FrameBufferProvider> frameBuffers);

}  // namespace kestrova::platform::gnome
