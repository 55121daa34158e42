#include "KWinTestSupport.hpp"

#include "kwin/KWinScreenCapture.hpp"
#include "WaitUntil.hpp"
#include "ProgramPaths.hpp"

#include <csignal>
#include <cstdlib>

#include <unistd.h>

namespace kestrova::testing {

namespace {

ChildProcess::Options companionOptions(const std::string& socket) {
    ChildProcess::Options options;
    options.environment["WAYLAND_DISPLAY"] = socket.empty() ? useTestCompositor() : socket;
    return options;
}

ChildProcess::Options kwinOptions() {
    ChildProcess::Options options;
    options.environment["KWIN_WAYLAND_NO_PERMISSION_CHECKS"] = "1";
    options.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY"};
    return options;
}

}  // namespace

std::string useTestCompositor() {
    const char* socket = std::getenv("KESTROVA_KWIN_SOCKET");
    if (socket == nullptr || *socket == '\0') return {};
    setenv("WAYLAND_DISPLAY", socket, 1);
    // KWin opens its socket before it has loaded the screencast interface.
    static const bool ready = waitUntil([] { return platform::kwin::sessionOffersWindowCapture(); }, kWaitBound);
    return ready ? socket : std::string();
}

PrivateKWin::PrivateKWin()
    : socket_("kestrova-private-kwin-" + std::to_string(getpid())),
      process_({"kwin_wayland", "--virtual", "--no-lockscreen", "--socket", socket_, "--width", "640", "--height",
                "480"},
               kwinOptions()) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string path = std::string(runtime ? runtime : "") + "/" + socket_;
    if (!waitUntil([&] { return access(path.c_str(), F_OK) == 0; }, kWaitBound)) socket_.clear();
}

bool PrivateKWin::kill() {
    process_.signal(SIGKILL);
    return process_.wait(kWaitBound).has_value();
}

WaylandCompanion::WaylandCompanion(const std::string& socket)
    : CompanionProcess({kestrova::testing::paths::outputDemo, "--wayland"}, companionOptions(socket), kWaitBound) {}

}  // namespace kestrova::testing
