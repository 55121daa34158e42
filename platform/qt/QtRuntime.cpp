#include "QtRuntime.hpp"

#include "QtApplication.hpp"
#include "QtGuardedApplication.hpp"
#include "QtMainQueue.hpp"
#include "QtQuitSignals.hpp"

#include <cstdlib>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <xcb/xcb.h>

#include <QString>

namespace kestrova::platform::qt {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Whether a Wayland compositor listens where Qt's Wayland plugin looks: WAYLAND_DISPLAY (wayland-0 when unset), a
// path of its own or a name in the runtime directory.
bool waylandReachable() {
    std::string socketPath = environment("WAYLAND_DISPLAY");
    if (socketPath.empty()) socketPath = "wayland-0";
    if (socketPath.front() != '/') {
        const std::string runtime = environment("XDG_RUNTIME_DIR");
        if (runtime.empty()) return false;
        socketPath = runtime + "/" + socketPath;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return false;
    socketPath.copy(address.sun_path, socketPath.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

}  // namespace

std::optional<std::string> desktopUnavailableReason() {
    // Qt tries Wayland first when it is named or the session is a Wayland one, and falls back to X11 unless Wayland
    // was named alone; any other platform (offscreen, for instance) is Qt's to open.
    const std::string platform = environment("QT_QPA_PLATFORM");
    const bool waylandNamed = platform.starts_with("wayland");
    if (!platform.empty() && !waylandNamed && !platform.starts_with("xcb")) return std::nullopt;
    const bool waylandFirst = waylandNamed || (platform.empty() && environment("XDG_SESSION_TYPE") == "wayland");
    if (waylandFirst && waylandReachable()) return std::nullopt;
    if (waylandNamed && platform.find("xcb") == std::string::npos) {
        return "no se puede abrir la pantalla Wayland \"" + environment("WAYLAND_DISPLAY") + "\"";
    }
    const std::string display = environment("DISPLAY");
    if (display.empty()) return "no hay pantalla X: la variable DISPLAY no está definida";
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    const bool failed = xcb_connection_has_error(connection) != 0;
    xcb_disconnect(connection);
    if (failed) return "no se puede abrir la pantalla X \"" + display + "\"";
    return std::nullopt;
}

Runtime::Runtime(int& argc, char** argv)
    : qtApplication_(std::make_unique<GuardedApplication>(argc, argv)),
      mainQueue_(std::make_unique<QtMainQueue>()),
      application_(QtApplication::create(*qtApplication_)) {
    QApplication::setApplicationName(QString::fromUtf8(kApplicationName.data(),
                                                       static_cast<qsizetype>(kApplicationName.size())));
    installMainQueue(mainQueue_.get());
    quitSignals_ = std::make_unique<QuitSignals>([weak = std::weak_ptr<QtApplication>(application_)] {
        if (const auto application = weak.lock()) application->terminate();
    });
}

Runtime::~Runtime() {
    quitSignals_.reset();
    installMainQueue(nullptr);
    application_.reset();
    mainQueue_.reset();
    qtApplication_.reset();
}

Application& Runtime::application() { return *application_; }

}  // namespace kestrova::platform::qt
