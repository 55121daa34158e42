#include "QtRuntime.hpp"

#include "QtApplication.hpp"
#include "QtGuardedApplication.hpp"
#include "QtMainQueue.hpp"
#include "QtQuitSignals.hpp"

#include <cstdlib>

#include <xcb/xcb.h>

#include <QString>

namespace kestrova::platform::qt {

std::optional<std::string> desktopUnavailableReason() {
    // A platform named explicitly (offscreen, for instance) is Qt's to open; only the X11 default is probed here.
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::string_view(platform).substr(0, 3) != "xcb") {
        return std::nullopt;
    }
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') return "no hay pantalla X: la variable DISPLAY no está definida";
    xcb_connection_t* connection = xcb_connect(display, nullptr);
    const bool failed = xcb_connection_has_error(connection) != 0;
    xcb_disconnect(connection);
    if (failed) return std::string("no se puede abrir la pantalla X \"") + display + "\"";
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
