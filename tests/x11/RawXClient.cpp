#include "RawXClient.hpp"

#include <cstdlib>

namespace kestrova::testing {

RawXClient::RawXClient(const std::string& display)
    : connection_(xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr)) {
    if (!connected()) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    root_ = screen->root;
    visual_ = screen->root_visual;
}

RawXClient::~RawXClient() { xcb_disconnect(connection_); }

xcb_atom_t RawXClient::atom(const std::string& name) {
    auto* reply = xcb_intern_atom_reply(
        connection_, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

xcb_window_t RawXClient::createWindow(std::uint16_t width, std::uint16_t height, bool overrideRedirect,
                                      bool inputOnly) {
    const xcb_window_t window = xcb_generate_id(connection_);
    const std::uint32_t value = overrideRedirect ? 1 : 0;
    xcb_create_window(connection_, inputOnly ? 0 : XCB_COPY_FROM_PARENT, window, root_, 10, 20, width, height, 0,
                      inputOnly ? XCB_WINDOW_CLASS_INPUT_ONLY : XCB_WINDOW_CLASS_INPUT_OUTPUT, visual_,
                      XCB_CW_OVERRIDE_REDIRECT, &value);
    return window;
}

void RawXClient::setText(xcb_window_t window, const std::string& property, const std::string& type,
                         const std::string& text) {
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window, atom(property), atom(type), 8,
                        static_cast<std::uint32_t>(text.size()), text.data());
}

void RawXClient::setAtoms(xcb_window_t window, const std::string& property, const std::vector<std::string>& atoms) {
    std::vector<xcb_atom_t> values;
    for (const auto& name : atoms) values.push_back(atom(name));
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window, atom(property), XCB_ATOM_ATOM, 32,
                        static_cast<std::uint32_t>(values.size()), values.data());
}

void RawXClient::setCardinal(xcb_window_t window, const std::string& property, std::uint32_t value) {
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window, atom(property), XCB_ATOM_CARDINAL, 32, 1, &value);
}

void RawXClient::setRootText(const std::string& property, const std::string& text) {
    setText(root_, property, "STRING", text);
}

void RawXClient::sync() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

}  // namespace kestrova::testing
