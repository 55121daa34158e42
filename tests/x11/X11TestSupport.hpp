#pragma once

// What the X11 provider's end-to-end tests share: the companion on a display and a window of the test's own;
// listing comes from CaptureChecks.hpp, private X servers and openbox from PrivateDesktop.hpp.

#include "CaptureChecks.hpp"
#include "Companion.hpp"
#include "PrivateDesktop.hpp"

#include <xcb/xcb.h>

#include <chrono>
#include <string>

namespace kestrova::testing {

inline constexpr std::chrono::milliseconds kBound{10000};

// The companion on a display (the run's when empty).
class Companion : public CompanionProcess {
public:
    explicit Companion(const std::string& display = {});
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

}  // namespace kestrova::testing
