#pragma once

// What the program's start-up uses of the Qt provider: whether a desktop is reachable, and one object that brings
// up the Qt application and its application object, installs the main queue, and takes over SIGTERM and SIGINT.

#include "AppFramework.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::platform::qt {

class GuardedApplication;
class QtApplication;
class QtMainQueue;
class QuitSignals;

// The application's name: the status item's title on the session bus and the id of the item.
inline constexpr std::string_view kApplicationName = "Kestrova";

// Why no desktop can be reached, as one line of text without a newline; nothing when one can: a Wayland compositor
// on a Wayland session (with no X server at all), else an X server. Qt itself aborts the process when it cannot
// open its display, so this is asked before a Runtime is made.
std::optional<std::string> desktopUnavailableReason();

class Runtime {
public:
    // argc and argv must outlive the runtime (Qt keeps them).
    Runtime(int& argc, char** argv);
    // Uninstalls the main queue, then closes the Qt application.
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // Lives as long as the runtime.
    Application& application();

private:
    std::unique_ptr<GuardedApplication> qtApplication_;
    std::unique_ptr<QtMainQueue> mainQueue_;
    std::shared_ptr<QtApplication> application_;
    std::unique_ptr<QuitSignals> quitSignals_;
};

}  // namespace kestrova::platform::qt
