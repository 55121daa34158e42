#pragma once

#include "FrameServer.hpp"

#include <memory>
#include <optional>
#include <string>

namespace kestrova::platform::kwin {

// A stream of one window of the compositor, by its uuid (none when the window was never listed). Started, it
// runs one thread with a connection of its own to the compositor, which casts the window to a PipeWire node, and
// to PipeWire, from which it takes the window's pictures, at most one per frame interval. Pictures are copied into
// the frame buffers' memory while they lend it.
std::shared_ptr<Stream> makeWindowStream(std::optional<std::string> uuid, const StreamConfiguration& configuration,
                                         std::weak_ptr<StreamDelegate> delegate,
                                         std::weak_ptr<FrameBufferProvider> frameBuffers);

}  // namespace kestrova::platform::kwin
