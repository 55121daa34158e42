#include "X11TestSupport.hpp"
#include "ProgramPaths.hpp"

#include <cstdlib>
#include <cstring>

namespace kestrova::testing {

namespace {

ChildProcess::Options onDisplay(const std::string& display) {
    ChildProcess::Options options;
    if (!display.empty()) options.environment["DISPLAY"] = display;
    return options;
}

xcb_atom_t intern(xcb_connection_t* connection, const char* name) {
    auto* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

}  // namespace

Companion::Companion(const std::string& display)
    : CompanionProcess({kestrova::testing::paths::outputDemo}, onDisplay(display), kBound) {}

OwnWindow::OwnWindow(const std::string& title, bool mapped) : connection_(xcb_connect(nullptr, nullptr)) {
    if (xcb_connection_has_error(connection_)) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    id_ = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, id_, screen->root, 0, 0, 200, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    const auto length = static_cast<std::uint32_t>(title.size());
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, id_, intern(connection_, "_NET_WM_NAME"),
                        intern(connection_, "UTF8_STRING"), 8, length, title.data());
    if (mapped) xcb_map_window(connection_, id_);
    // A round trip, so that the window exists for every other client once this returns.
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

OwnWindow::~OwnWindow() { xcb_disconnect(connection_); }

}  // namespace kestrova::testing
