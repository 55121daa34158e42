#include "AppDelegate.hpp"
#include "BridgeConstants.hpp"
#include "SelectionPolicy.hpp"

#include "GnomeScreenCapture.hpp"
#include "KWinScreenCapture.hpp"
#include "PipeWireFrameServer.hpp"
#include "QtRuntime.hpp"
#include "X11ScreenCapture.hpp"

#include <cstdio>
#include <cstdlib>
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
// server's (XWayland's, on other Wayland desktops).
std::shared_ptr<kestrova::platform::ScreenCaptureService> chosenScreenCapture() {
    namespace platform = kestrova::platform;
    if (platform::kwin::sessionOffersWindowCapture()) return platform::kwin::makeKWinScreenCapture();
    if (platform::gnome::sessionOffersWindowCapture()) return platform::gnome::makeGnomeScreenCapture();
    return platform::x11::makeX11ScreenCapture();
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
    kestrova::platform::installScreenCapture(chosenScreenCapture());
    kestrova::platform::pipewire::installDeviceFactory(kestrova::constants::kServerName);
    const int status = kestrova::runApplication();
    // The service finishes the window queries still under way as it goes, and their answers are posted to the
    // main queue: it goes while the runtime still has that queue installed.
    kestrova::platform::installScreenCapture(nullptr);
    return status;
}
