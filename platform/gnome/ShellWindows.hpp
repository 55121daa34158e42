#pragma once

#include "ScreenCapture.hpp"
#include "SessionBus.hpp"

#include <cstdint>
#include <map>
#include <mutex>
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

// The 32-bit window identifiers handed out for Meta's 64-bit ones: one per window for the life of the service,
// never reused, so that an identifier never comes to mean another window. Used from any thread.
class WindowIds {
public:
    std::uint32_t idFor(std::uint64_t metaID);
    std::optional<std::uint64_t> metaIDOf(std::uint32_t id) const;

private:
    mutable std::mutex mutex_;
    std::map<std::uint64_t, std::uint32_t> ids_;
    std::map<std::uint32_t, std::uint64_t> metaIDs_;
    std::uint32_t next_ = 1;
};

// The extension's answer, of type (a(tsi(iiii)(iiii)bu)).
std::vector<ShellWindow> shellWindowsOf(GVariant* reply);

// The records of the windows that have a size, in stacking order, bottom first. A window the shell knows no process
// of has no owning application; one that is not normal lies outside the normal layer.
std::vector<Window> recordsOf(std::vector<ShellWindow> windows, WindowIds& ids);

// Asks the extension for the output windows; a missing extension or shell gives the error that says how to mend it.
std::variant<std::vector<ShellWindow>, Error> askShell(GDBusConnection* connection);

}  // namespace kestrova::platform::gnome
