#pragma once

// What the KWin provider's tests share: the compositor the test script started and the companion's native Wayland
// windows; listing comes from CaptureChecks.hpp.

#include "CaptureChecks.hpp"
#include "ChildProcess.hpp"
#include "Companion.hpp"

#include <chrono>
#include <string>

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

// The companion as a Wayland client of the test compositor (or of the one on that socket).
class WaylandCompanion : public CompanionProcess {
public:
    explicit WaylandCompanion(const std::string& socket = {});
    // Waits for the companion to end on its own (as it does when its compositor goes); true once it has.
    bool ends() { return process_.wait(kWaitBound).has_value(); }
};

}  // namespace kestrova::testing
