#pragma once

// A plain connection of the test's own, for windows with exactly the properties a case needs.

#include <xcb/xcb.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrova::testing {

class RawXClient {
public:
    // The run's display when the name is empty.
    explicit RawXClient(const std::string& display = {});
    ~RawXClient();
    RawXClient(const RawXClient&) = delete;
    RawXClient& operator=(const RawXClient&) = delete;

    bool connected() const { return xcb_connection_has_error(connection_) == 0; }
    xcb_connection_t* get() const { return connection_; }

    // A top-level window, unmapped.
    xcb_window_t createWindow(std::uint16_t width, std::uint16_t height, bool overrideRedirect = false,
                              bool inputOnly = false);
    void setText(xcb_window_t window, const std::string& property, const std::string& type, const std::string& text);
    void setAtoms(xcb_window_t window, const std::string& property, const std::vector<std::string>& atoms);
    void setCardinal(xcb_window_t window, const std::string& property, std::uint32_t value);
    void setRootText(const std::string& property, const std::string& text);
    // Waits until the server has carried out every request so far.
    void sync();

private:
    xcb_atom_t atom(const std::string& name);

    xcb_connection_t* connection_;
    xcb_window_t root_ = XCB_WINDOW_NONE;
    xcb_visualid_t visual_ = 0;
};

}  // namespace kestrova::testing
