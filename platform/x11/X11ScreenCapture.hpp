#pragma once

// The screen-capture provider for X11 desktops (XWayland windows included): windows listed from the display's
// tree and the window manager's client list, streams over XComposite, MIT-SHM and DAMAGE.

#include "FrameServer.hpp"

#include <memory>
#include <string>

namespace kestrova::platform::x11 {

// Errors of this provider carry this domain and one of these codes; the description is for the user.
inline constexpr const char* kErrorDomain = "org.kestrova.x11";

enum class ErrorCode : int {
    connectFailed = 1,    // the display could not be opened
    connectionLost,       // the display went away
    missingExtension,     // the server lacks Composite, DAMAGE or MIT-SHM with descriptor passing
    windowGone,           // the window does not exist (any more)
    unsupportedWindow,    // a window whose pixels cannot be read as 32-bit BGRA
    invalidRequest,       // a configuration or call order the stream cannot serve
};

// The service for the display of that name, or of DISPLAY when the name is empty. It connects on first use and
// again after a lost connection, so that failures reach the caller through the queries and starts that meet them.
// Its streams write their frames into the frame buffers' memory while they lend it, into their own otherwise.
std::shared_ptr<ScreenCaptureService> makeX11ScreenCapture(std::string display = {},
                                                           std::weak_ptr<FrameBufferProvider> frameBuffers = {});

}  // namespace kestrova::platform::x11
