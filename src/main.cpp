#include "AppDelegate.hpp"
#include "BridgeConstants.hpp"
#include "SelectionPolicy.hpp"

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
    kestrova::platform::installScreenCapture(kestrova::platform::x11::makeX11ScreenCapture());
    kestrova::platform::pipewire::installDeviceFactory(kestrova::constants::kServerName);
    return kestrova::runApplication();
}
