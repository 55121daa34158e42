#pragma once

// The screen-capture provider for KDE Plasma's Wayland sessions: windows listed through the compositor's
// window-management interface, streams through its screencast interface as PipeWire nodes.

#include "FrameServer.hpp"

#include <memory>

namespace kestrova::platform::kwin {

// Errors of this provider carry this domain and one of these codes; the description is for the user.
inline constexpr const char* kErrorDomain = "org.kestrova.kwin";

enum class ErrorCode : int {
    connectFailed = 1,  // the compositor could not be reached
    connectionLost,     // the compositor or PipeWire went away
    missingInterface,   // the compositor does not offer (or does not allow) window listing or screencasts
    windowGone,         // the window does not exist (any more)
    streamFailed,       // the compositor or PipeWire refused or broke the stream
    invalidRequest,     // a configuration or call order the stream cannot serve
};

// True when WAYLAND_DISPLAY names a compositor that lets this process list and cast windows.
bool sessionOffersWindowCapture();

// The service for the compositor of WAYLAND_DISPLAY. It connects for each query and each stream, so that a
// compositor that restarts is found again. Its streams write their frames into the frame buffers' memory while
// they lend it, into their own otherwise.
std::shared_ptr<ScreenCaptureService> makeKWinScreenCapture(std::weak_ptr<FrameBufferProvider> frameBuffers = {});

}  // namespace kestrova::platform::kwin
