#pragma once

// The screen-capture provider for GNOME's Wayland sessions: windows listed by the project's GNOME Shell extension
// over the session bus, streams cast by Mutter's ScreenCast service as PipeWire nodes.

#include "FrameServer.hpp"

#include <memory>

namespace kestrova::platform::gnome {

// Errors of this provider carry this domain and one of these codes; the description is for the user.
inline constexpr const char* kErrorDomain = "org.kestrova.gnome";

enum class ErrorCode : int {
    connectFailed = 1,  // the session bus could not be reached
    connectionLost,     // the shell or the bus went away
    extensionMissing,   // the project's shell extension is not installed, enabled or loaded
    windowGone,         // the window does not exist (any more)
    streamFailed,       // Mutter refused or broke the cast
    stoppedFromShell,   // the user stopped the cast from the shell's screen-sharing indicator
    invalidRequest,     // a configuration the stream cannot serve
};

// True on a Wayland session whose bus carries Mutter's ScreenCast service, that is GNOME's.
bool sessionOffersWindowCapture();

// The service for the shell on the session bus. It connects for each query and each stream, so that a shell that
// restarts is found again. Its streams write their frames into the frame buffers' memory while they lend it, into
// their own otherwise.
std::shared_ptr<ScreenCaptureService> makeGnomeScreenCapture(std::weak_ptr<FrameBufferProvider> frameBuffers = {});

}  // namespace kestrova::platform::gnome
