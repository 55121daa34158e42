// kestrova-output-demo: the companion's output windows for tests and the demo. Each window is titled
// "Kestrova Output | NAME" and shows a frame counter that moves 30 times a second (see DemoPattern.hpp).
// With --wayland the windows are native Wayland toplevels, otherwise X11 windows. Names given as arguments open
// at start. Commands, one per line on standard input, each answered "ok ..." once the server has carried it out:
//   open NAME [W H]   announce NAME [W H] (opened, not drawn until mapped)   retitle NAME TITLE…
//   resize NAME W H   unmap NAME   map NAME   close NAME   quit

#include "DemoWindows.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

namespace {

constexpr auto kTick = std::chrono::milliseconds(33);

// Carries out one command line; false for "quit".
bool command(kestrova::demo::DemoWindows& windows, const std::string& line) {
    std::istringstream in(line);
    std::string verb, name;
    in >> verb >> name;
    if (verb == "quit") return false;
    bool ok = false;
    if (verb == "open" || verb == "announce") {
        std::uint32_t width = 320, height = 240;
        in >> width >> height;
        ok = windows.open(name, width, height, verb == "open");
    } else if (verb == "retitle") {
        std::string title;
        std::getline(in, title);
        if (!title.empty() && title.front() == ' ') title.erase(0, 1);
        ok = windows.retitle(name, title);
    } else if (verb == "resize") {
        std::uint32_t width = 0, height = 0;
        in >> width >> height;
        ok = windows.resize(name, width, height);
    } else if (verb == "unmap") {
        ok = windows.unmap(name);
    } else if (verb == "map") {
        ok = windows.map(name);
    } else if (verb == "close") {
        ok = windows.close(name);
    }
    // A round trip: the server has carried out everything sent before the answer.
    windows.sync();
    std::cout << (ok ? "ok " : "error ") << line << std::endl;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool wayland = argc > 1 && std::string_view(argv[1]) == "--wayland";
    auto windows = wayland ? kestrova::demo::openWaylandWindows() : kestrova::demo::openX11Windows();
    if (!windows) {
        std::fputs(wayland ? "kestrova-output-demo: no se puede conectar con el compositor Wayland\n"
                           : "kestrova-output-demo: no se puede abrir la pantalla X\n",
                   stderr);
        return 1;
    }
    for (int i = wayland ? 2 : 1; i < argc; ++i) command(*windows, std::string("open ") + argv[i]);
    std::string pending;
    bool stdinOpen = true;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {windows->fd(), POLLIN, 0}};
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now());
        ::poll(stdinOpen ? fds : fds + 1, stdinOpen ? 2 : 1, static_cast<int>(std::max<long>(0, wait.count())));
        if (stdinOpen && (fds[0].revents & (POLLIN | POLLHUP))) {
            char buffer[4096];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                stdinOpen = false;  // keep showing the windows until killed
            } else {
                pending.append(buffer, static_cast<std::size_t>(n));
                for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
                    const std::string line = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    if (!line.empty() && !command(*windows, line)) return 0;
                }
            }
        }
        if (!windows->events()) return 1;
        if (std::chrono::steady_clock::now() >= next) {
            windows->drawAll();
            next += kTick;
            if (next < std::chrono::steady_clock::now()) next = std::chrono::steady_clock::now() + kTick;
        }
    }
}
