#pragma once

#include "Error.hpp"
#include "X11ScreenCapture.hpp"

#include <cstdlib>
#include <memory>
#include <string>
#include <variant>

#include <xcb/xcb.h>

namespace kestrova::platform::x11 {

// Replies and events from libxcb are malloc'ed.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// One connection to an X display and its first screen. A connection is used by one thread at a time.
class Connection {
public:
    // Connects to the display (DISPLAY when the name is empty); the failure names the display.
    static std::variant<std::unique_ptr<Connection>, Error> open(const std::string& display);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    xcb_connection_t* get() const { return connection_; }
    const xcb_screen_t& screen() const { return *screen_; }
    xcb_window_t root() const { return screen_->root; }
    // A failed connection never recovers; every later request on it is a no-op.
    bool broken() const { return xcb_connection_has_error(connection_) != 0; }
    const std::string& displayName() const { return displayName_; }

private:
    Connection(xcb_connection_t* connection, const xcb_screen_t* screen, std::string displayName)
        : connection_(connection), screen_(screen), displayName_(std::move(displayName)) {}

    xcb_connection_t* connection_;
    const xcb_screen_t* screen_;
    std::string displayName_;
};

// The display a name resolves to, as shown in messages.
std::string resolvedDisplayName(const std::string& display);
Error makeError(ErrorCode code, std::string description);
Error connectionLost(const std::string& displayName);

// A display that goes away between libxcb's poll and its write would raise SIGPIPE, whose default action ends the
// process. Called on each thread that talks to a display, so that the write fails and the connection reports it.
void blockBrokenPipeSignal();

}  // namespace kestrova::platform::x11
