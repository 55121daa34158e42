#pragma once

#include "ScreenCapture.hpp"
#include "common/WindowIds.hpp"
#include "SessionBus.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kestrova::platform::gnome {

// One output window as the project's shell extension describes it, rectangles in logical pixels.
struct ShellWindow {
    std::uint64_t id = 0;  // Meta's own, the one Mutter's ScreenCast records by
    std::string title;
    std::int32_t processID = 0;  // 0 when the shell does not know it
    Rect frame;                  // the window itself
    Rect buffer;                 // what the client drew: the frame and its client-side shadow
    bool normal = false;         // a normal window shown in the task bar and the switcher
    std::uint32_t stacking = 0;  // place in the stacking order, 0 at the bottom

    bool sized() const { return buffer.width > 0 && buffer.height > 0 && frame.width > 0 && frame.height > 0; }
};

// The core's window identifiers for Meta's 64-bit ones.
using WindowIds = platform::WindowIds<std::uint64_t>;

// The extension's answer, of type (a(tsi(iiii)(iiii)bu)).
std::vector<ShellWindow> shellWindowsOf(GVariant* reply);

// The records of the windows that have a size, in stacking order, bottom first. A window the shell knows no process
// of has no owning application; one that is not normal lies outside the normal layer.
std::vector<Window> recordsOf(std::vector<ShellWindow> windows, WindowIds& ids);

// Asks the extension for the output windows; a missing extension or shell gives the error that says how to mend it.
std::variant<std::vector<ShellWindow>, Error> askShell(GDBusConnection* connection);

}  // namespace kestrova::platform::gnome
