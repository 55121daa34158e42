#pragma once

#include "FrameServer.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace kestrova::platform::x11 {

// A stream of one window of the display. Started, it opens a connection of its own and runs one thread that
// reads the window's composite pixmap by MIT-SHM whenever DAMAGE says it changed, at most once per frame interval.
// A window that is not on screen starts all the same: its frames come once it is shown. Frames are read into the
// frame buffers' memory while they lend it.
std::shared_ptr<Stream> makeCaptureStream(std::string display, std::uint32_t window,
                                          const StreamConfiguration& configuration,
                                          std::weak_ptr<StreamDelegate> delegate,
                                          std::weak_ptr<FrameBufferProvider> frameBuffers);

}  // namespace kestrova::platform::x11
