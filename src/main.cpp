#include "AppDelegate.hpp"
#include "BridgeConstants.hpp"
#include "SelectionPolicy.hpp"

#include "gnome/GnomeScreenCapture.hpp"
#include "kwin/KWinScreenCapture.hpp"
#include "pipewire/PipeWireFrameServer.hpp"
#include "qt/QtRuntime.hpp"
#include "x11/X11ScreenCapture.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

bool hasSelfTestSwitch(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (argv[i] != nullptr && std::string_view(argv[i]) == kestrova::constants::kSelfTestSwitch) return true;
    }
    return false;
}

// A Plasma Wayland session that lets this program list and cast windows shows its native windows that way, and so
// does GNOME's through the project's shell extension and Mutter's ScreenCast; anywhere else the windows are the X
// server's (XWayland's, on other Wayland desktops). Either way a stream writes each frame into a buffer the frame
// buffers lend, when they have one.
std::shared_ptr<kestrova::platform::ScreenCaptureService> chosenScreenCapture(
    std::weak_ptr<kestrova::platform::FrameBufferProvider> frameBuffers) {
    namespace platform = kestrova::platform;
    if (platform::kwin::sessionOffersWindowCapture()) return platform::kwin::makeKWinScreenCapture(frameBuffers);
    if (platform::gnome::sessionOffersWindowCapture()) return platform::gnome::makeGnomeScreenCapture(frameBuffers);
    return platform::x11::makeX11ScreenCapture({}, frameBuffers);
}

[[noreturn]] void runSelfTest() {
    if (!kestrova::SelectionPolicy::selfTestPasses()) std::abort();
    const auto line = kestrova::constants::kSelfTestLine;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (hasSelfTestSwitch(argc, argv)) runSelfTest();
    namespace qt = kestrova::platform::qt;
    if (const auto reason = qt::desktopUnavailableReason()) {
        std::fprintf(stderr, "kestrova-bridge: %s\n", reason->c_str());
        return 1;
    }
    // The runtime outlives the delegate that runApplication() makes, and with it every status item.
    qt::Runtime runtime(argc, argv);
    // The sink publishes through the device the frame server connects, whose node shares its buffers with the
    // consumers. The same frame server lends those buffers to the capture, so that a captured frame is written
    // straight into the buffer the node sends, and the sink publishes it in place.
    const auto frameServer = std::make_shared<kestrova::platform::pipewire::PipeWireFrameServer>(
        std::string(kestrova::constants::kServerName));
    auto screenCapture = chosenScreenCapture(frameServer);
    const int status = kestrova::runApplication({
        .application = runtime.application(),
        .screenCapture = *screenCapture,
        .deviceFactory = [frameServer] { return frameServer->connectDevice(); },
    });
    // The service finishes the window queries still under way as it goes, and their answers are posted to the
    // main queue: it goes while the runtime still has that queue installed.
    screenCapture.reset();
    return status;
}
