#pragma once

// What the X11 provider's end-to-end tests share: the companion driven over its standard input, a window of the
// test's own, and listing on a manual main loop; private X servers and openbox come from PrivateDesktop.hpp.

#include "ChildProcess.hpp"
#include "Dispatch.hpp"
#include "PrivateDesktop.hpp"
#include "ScreenCapture.hpp"

#include <xcb/xcb.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kestrova::testing {

inline constexpr std::chrono::milliseconds kBound{10000};

// The companion on a display (the run's when empty); every command waits for the companion's answer.
class Companion {
public:
    explicit Companion(const std::string& display = {});
    // Closes every window it opened, each confirmed by the server, so that the next test never meets them.
    ~Companion();
    Companion(const Companion&) = delete;
    Companion& operator=(const Companion&) = delete;
    // False when the companion refused the command or did not answer within the bound.
    bool command(const std::string& line);
    pid_t pid() const { return process_.pid(); }

private:
    ChildProcess process_;
    std::vector<std::string> opened_;
};

// A mapped (or never mapped) top-level window of this process, titled like the companion's.
class OwnWindow {
public:
    OwnWindow(const std::string& title, bool mapped);
    ~OwnWindow();
    OwnWindow(const OwnWindow&) = delete;
    OwnWindow& operator=(const OwnWindow&) = delete;
    std::uint32_t id() const { return id_; }

private:
    xcb_connection_t* connection_ = nullptr;
    std::uint32_t id_ = 0;
};

// One shareable-content query run to its completion on the loop; an error answer when none came within the bound.
platform::ShareableContentAnswer listWindows(platform::ManualLoop& loop, platform::ScreenCaptureService& service);

// Lists again until the predicate holds of the content or the bound passes; gives the last answer.
platform::ShareableContentAnswer listUntil(platform::ManualLoop& loop, platform::ScreenCaptureService& service,
                                           const std::function<bool(const platform::ShareableContent&)>& done);

// The listed window with exactly this title, or nothing.
platform::Window titled(const platform::ShareableContent& content, const std::string& title);

}  // namespace kestrova::testing
