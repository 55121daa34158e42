#pragma once

// What the KWin provider's tests share: the compositor the test script started, the companion's native Wayland
// windows driven over its standard input, and listing on a manual main loop.

#include "ChildProcess.hpp"
#include "Dispatch.hpp"
#include "ScreenCapture.hpp"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kestrova::testing {

inline constexpr std::chrono::milliseconds kWaitBound{15000};

// The socket of the headless KWin the test script started (KESTROVA_KWIN_SOCKET), made this process's
// WAYLAND_DISPLAY; empty when there is none.
std::string useTestCompositor();

// A headless KWin of the test's own, on a socket of its own in the run's runtime directory.
class PrivateKWin {
public:
    PrivateKWin();
    // The socket's name, or empty when KWin did not come up.
    const std::string& socket() const { return socket_; }
    // Kills KWin by its PID and reaps it; true once it is gone.
    bool kill();

private:
    std::string socket_;
    ChildProcess process_;
};

// The companion as a Wayland client of the test compositor (or of the one on that socket); every command waits
// for the companion's answer.
class WaylandCompanion {
public:
    explicit WaylandCompanion(const std::string& socket = {});
    // Closes every window it opened, so that the next test never meets them (unless it has ended).
    ~WaylandCompanion();
    WaylandCompanion(const WaylandCompanion&) = delete;
    WaylandCompanion& operator=(const WaylandCompanion&) = delete;
    // False when the companion refused the command or did not answer within the bound.
    bool command(const std::string& line);
    pid_t pid() const { return process_.pid(); }
    // Waits for the companion to end on its own (as it does when its compositor goes); true once it has.
    bool ends() { return process_.wait(kWaitBound).has_value(); }

private:
    ChildProcess process_;
    std::vector<std::string> opened_;
};

// One shareable-content query run to its completion on the loop; an error answer when none came within the bound.
platform::ShareableContentAnswer listWindows(platform::ManualLoop& loop, platform::ScreenCaptureService& service);

// Lists again until the predicate holds of the content or the bound passes; gives the last answer.
platform::ShareableContentAnswer listUntil(platform::ManualLoop& loop, platform::ScreenCaptureService& service,
                                           const std::function<bool(const platform::ShareableContent&)>& done);

// The listed window with exactly this title, or nothing.
platform::Window titled(const platform::ShareableContent& content, const std::string& title);

}  // namespace kestrova::testing
