#include "PrivateDesktop.hpp"

#include "WaitUntil.hpp"

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace kestrova::testing {

namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;

ChildProcess::Options onDisplay(const std::string& display) {
    ChildProcess::Options options;
    options.environment["DISPLAY"] = display;
    return options;
}

}  // namespace

PrivateXServer::PrivateXServer()
    : process_({"Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0", "1280x1024x24"}) {
    // Xvfb writes the display number it took to the descriptor, then a newline.
    if (!process_.waitForOutput("\n", kBound)) return;
    const std::string out = process_.stdoutText();
    display_ = ":" + out.substr(0, out.find('\n'));
}

bool PrivateXServer::kill() {
    process_.signal(SIGKILL);
    return process_.wait(kBound).has_value();
}

bool windowManagerRunning(const std::string& display) {
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    bool running = false;
    if (!xcb_connection_has_error(connection)) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        constexpr const char* kCheck = "_NET_SUPPORTING_WM_CHECK";
        auto* atom = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(kCheck)), kCheck),
            nullptr);
        auto* reply = atom ? xcb_get_property_reply(connection,
                                                    xcb_get_property(connection, 0, screen->root, atom->atom,
                                                                     XCB_ATOM_WINDOW, 0, 1),
                                                    nullptr)
                           : nullptr;
        running = reply && xcb_get_property_value_length(reply) == 4;
        std::free(reply);
        std::free(atom);
    }
    xcb_disconnect(connection);
    return running;
}

// Announcing itself comes early in its start: a window mapped between that and the end of its start is never
// framed. What it runs once started says that it is.
Openbox::Openbox(const std::string& display)
    : display_(display), process_({"openbox", "--startup", "echo openbox-started"}, onDisplay(display)) {}

Openbox::~Openbox() {
    process_.signal(SIGCONT);
    process_.signal(SIGTERM);
    process_.wait(kBound);
}

bool Openbox::ready() { return process_.waitForOutput("openbox-started", kBound) && windowManagerRunning(display_); }

bool Openbox::sendToDesktop(const std::string& title, int desktop) {
    return wmctrl({"-r", title, "-t", std::to_string(desktop)});
}

bool Openbox::showDesktop(int desktop) { return wmctrl({"-s", std::to_string(desktop)}); }

void Openbox::pause() { process_.signal(SIGSTOP); }
void Openbox::resume() { process_.signal(SIGCONT); }

bool Openbox::wmctrl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "wmctrl");
    return runProgram(std::move(arguments), kBound, onDisplay(display_)).status == 0;
}

bool viewable(const std::string& display, const std::string& title) {
    const auto info = runProgram({"xwininfo", "-name", title}, kBound, onDisplay(display));
    return info.status == 0 && info.out.find("Map State: IsViewable") != std::string::npos;
}

}  // namespace kestrova::testing
