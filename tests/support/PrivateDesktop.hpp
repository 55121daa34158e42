#pragma once

// X desktops of a test's own: an Xvfb on a display it picks itself, and openbox managing it, its desktops driven
// with wmctrl as a pager does.

#include "ChildProcess.hpp"

#include <cstdint>
#include <string>

namespace kestrova::testing {

// An Xvfb on a free display; it does not reset when its last client leaves.
class PrivateXServer {
public:
    PrivateXServer();
    // ":N", or empty when the server did not come up.
    const std::string& display() const { return display_; }
    pid_t pid() const { return process_.pid(); }
    // Kills the server by its PID and reaps it; true once it is gone.
    bool kill();

private:
    ChildProcess process_;
    std::string display_;
};

// Whether a window manager on the display has announced itself (_NET_SUPPORTING_WM_CHECK on the root).
bool windowManagerRunning(const std::string& display);

// openbox on a display, with its default four desktops; ended by its PID.
class Openbox {
public:
    explicit Openbox(const std::string& display);
    ~Openbox();
    Openbox(const Openbox&) = delete;
    Openbox& operator=(const Openbox&) = delete;
    // Waits until it has started and manages the display; false (with its output) when it never did.
    bool ready();
    std::string errors() const { return process_.stdoutText() + process_.stderrText(); }
    // Moves the client window of that title to the desktop (counted from 0), as a pager does.
    bool sendToDesktop(const std::string& title, int desktop);
    bool showDesktop(int desktop);
    // Holds or releases its process, so that the requests it should answer wait meanwhile.
    void pause();
    void resume();

private:
    bool wmctrl(std::vector<std::string> arguments);

    const std::string display_;
    ChildProcess process_;
};

// Whether the window of that title on the display is viewable, as xwininfo tells.
bool viewable(const std::string& display, const std::string& title);

}  // namespace kestrova::testing
