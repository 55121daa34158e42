#pragma once

#include "Compositor.hpp"
#include "ScreenCapture.hpp"
#include "common/WindowIds.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::platform::kwin {

// The core's window identifiers for the compositor's window uuids.
using WindowIds = platform::WindowIds<std::string>;

// What the compositor says of one window.
struct WindowState {
    std::string uuid;
    std::optional<std::string> title;
    std::uint32_t flags = 0;  // org_kde_plasma_window_management state bits
    std::optional<std::int32_t> processID;
    Rect frame;
    bool described = false;  // its initial state has arrived
    bool unmapped = false;
};

// The layer a window is listed in, from its state bits: panels, docks, the desktop, notifications and on-screen
// displays are kept out of the task bar and the switcher, which normal windows are not.
std::int64_t layerOf(std::uint32_t flags);

// Builds the records of the described, mapped windows of known size in stacking order (bottom first), then any
// the order does not name; minimised ones are left out when only on-screen windows are wanted.
std::vector<Window> recordsOf(const std::vector<WindowState>& windows, const std::vector<std::string>& stacking,
                              bool onScreenWindowsOnly, WindowIds& ids);

// Every window of the compositor, read over the connection; a broken connection gives its error.
std::variant<std::vector<Window>, Error> listWindows(Compositor& compositor, bool excludingDesktopWindows,
                                                     bool onScreenWindowsOnly, WindowIds& ids);

}  // namespace kestrova::platform::kwin
