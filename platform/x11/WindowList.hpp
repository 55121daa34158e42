#pragma once

#include "Connection.hpp"
#include "ScreenCapture.hpp"

#include <array>
#include <string_view>
#include <vector>

namespace kestrova::platform::x11 {

// Lists the display's top-level client windows as shareable-content records. Bound to one connection.
class WindowLister {
public:
    // Interns the atoms it reads, in one round trip.
    explicit WindowLister(const Connection& connection);

    // Every top-level client window, mapped or not, in stacking order (bottom first), then the window manager's
    // clients not found in the tree. Whatever the server could not answer is left out; a caller tells a lost
    // connection by the connection's own state.
    std::vector<Window> list(bool excludingDesktopWindows, bool onScreenWindowsOnly) const;

    enum Atom : std::size_t {
        wmState,
        netClientList,
        netSupportingWmCheck,
        netWmName,
        utf8String,
        netWmPid,
        netWmWindowType,
        netWmState,
        netWmStateAbove,
        netWmStateBelow,
        resourceManager,
        typeNormal,
        typeDesktop,
        typeDock,
        typeToolbar,
        typeMenu,
        typeUtility,
        typeSplash,
        typeDialog,
        typeDropdownMenu,
        typePopupMenu,
        typeTooltip,
        typeNotification,
        typeCombo,
        typeDnd,
        atomCount
    };

private:
    std::vector<xcb_window_t> topLevels() const;
    std::int64_t layerOf(bool overrideRedirect, const xcb_get_property_reply_t* types,
                         const xcb_get_property_reply_t* states) const;

    const Connection& connection_;
    std::array<xcb_atom_t, atomCount> atoms_{};
    bool hasResourceExtension_ = false;
};

// The desktop's scale factor from the root's X resources (Xft.dpi over 96); 1 when unset or below 1.
double desktopScale(std::string_view resources);

}  // namespace kestrova::platform::x11
