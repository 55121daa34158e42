#pragma once

// What the GNOME provider's tests share: the headless GNOME Shell the test script started (its Wayland socket and
// session bus), the companion's native Wayland windows on it, and looks at the shell from outside.

#include "CaptureChecks.hpp"
#include "Companion.hpp"
#include "gnome/SessionBus.hpp"
#include "gnome/ShellWindows.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::testing {

inline constexpr std::chrono::milliseconds kWaitBound{15000};

// Makes the shell the test script started (KESTROVA_GNOME_SOCKET, KESTROVA_GNOME_BUS) this process's Wayland
// display and session bus; false when there is none.
bool useTestShell();

// The companion as a Wayland client of the test shell.
class GnomeCompanion : public CompanionProcess {
public:
    GnomeCompanion();
};

// A connection of the test's own to the shell's bus.
class ShellProbe {
public:
    ShellProbe();
    // What the extension answers, or its error.
    std::variant<std::vector<platform::gnome::ShellWindow>, platform::Error> outputWindows();
    // Waits until the extension lists a window of this title (sized, when asked) and gives it.
    std::optional<platform::gnome::ShellWindow> await(const std::string& title, bool sized = true);
    // Mutter's ScreenCast sessions open now, by object path.
    std::vector<std::string> castSessions();
    // Stops every cast as the user does with the shell's screen-sharing indicator (through the lab's test
    // extension); the number stopped.
    std::size_t stopEveryCast();
    // The shell still owns its name on the bus.
    bool shellRuns();

private:
    std::optional<platform::gnome::BusConnection> bus_;
};

}  // namespace kestrova::testing
