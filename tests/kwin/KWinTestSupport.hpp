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

// The companion as a Wayland client of the test compositor; every command waits for the companion's answer.
class WaylandCompanion {
public:
    WaylandCompanion();
    // Closes every window it opened, so that the next test never meets them.
    ~WaylandCompanion();
    WaylandCompanion(const WaylandCompanion&) = delete;
    WaylandCompanion& operator=(const WaylandCompanion&) = delete;
    // False when the companion refused the command or did not answer within the bound.
    bool command(const std::string& line);
    pid_t pid() const { return process_.pid(); }

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
