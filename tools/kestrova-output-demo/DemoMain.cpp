// kestrova-output-demo: the companion's output windows for tests and the demo. Each window is titled
// "Kestrova Output | NAME" and shows a frame counter that moves 30 times a second (see DemoPattern.hpp).
// Names given as arguments open at start. Commands, one per line on standard input, each answered "ok ..." once
// the X server has carried it out:
//   open NAME [W H]   retitle NAME TITLE…   resize NAME W H   unmap NAME   map NAME   close NAME   quit

#include "DemoPattern.hpp"

#include <xcb/xcb.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::string_view kPrefix = "Kestrova Output | ";
constexpr auto kTick = std::chrono::milliseconds(33);

struct DemoWindow {
    xcb_window_t id = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t color = 0;
    std::uint32_t counter = 0;
    bool mapped = true;
    std::vector<std::uint8_t> pixels;
};

class Demo {
public:
    Demo() : connection_(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(connection_)) return;
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        gc_ = xcb_generate_id(connection_);
        xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
        netWmName_ = atom("_NET_WM_NAME");
        utf8_ = atom("UTF8_STRING");
    }
    ~Demo() { xcb_disconnect(connection_); }

    bool connected() const { return screen_ != nullptr; }
    int fd() const { return xcb_get_file_descriptor(connection_); }

    bool open(const std::string& name, std::uint32_t width, std::uint32_t height) {
        if (windows_.count(name) || width == 0 || height == 0) return false;
        DemoWindow w;
        w.id = xcb_generate_id(connection_);
        w.width = width;
        w.height = height;
        w.color = kestrova::demo::colorFor(name);
        const std::uint32_t values[] = {screen_->black_pixel,
                                        XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, w.id, screen_->root, 0, 0, static_cast<std::uint16_t>(width),
                          static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        windows_[name] = w;
        setTitle(windows_[name], std::string(kPrefix) + name);
        xcb_map_window(connection_, w.id);
        return true;
    }

    bool command(const std::string& line) {
        std::istringstream in(line);
        std::string verb, name;
        in >> verb >> name;
        if (verb == "quit") return false;
        if (verb == "open") {
            std::uint32_t width = 320, height = 240;
            in >> width >> height;
            answer(open(name, width, height), line);
            return true;
        }
        const auto found = windows_.find(name);
        if (found == windows_.end()) {
            answer(false, line);
            return true;
        }
        DemoWindow& w = found->second;
        if (verb == "retitle") {
            std::string title;
            std::getline(in, title);
            if (!title.empty() && title.front() == ' ') title.erase(0, 1);
            setTitle(w, title);
        } else if (verb == "resize") {
            std::uint32_t width = 0, height = 0;
            in >> width >> height;
            if (width == 0 || height == 0) {
                answer(false, line);
                return true;
            }
            const std::uint32_t size[] = {width, height};
            xcb_configure_window(connection_, w.id, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
            w.width = width;
            w.height = height;
        } else if (verb == "unmap") {
            xcb_unmap_window(connection_, w.id);
            w.mapped = false;
        } else if (verb == "map") {
            xcb_map_window(connection_, w.id);
            w.mapped = true;
        } else if (verb == "close") {
            xcb_destroy_window(connection_, w.id);
            windows_.erase(found);
        } else {
            answer(false, line);
            return true;
        }
        answer(true, line);
        return true;
    }

    void drawAll() {
        for (auto& [name, w] : windows_) {
            if (!w.mapped) continue;
            ++w.counter;
            draw(w);
        }
        xcb_flush(connection_);
    }

    // Handles what the server sent; false when the connection is gone.
    bool events() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            if ((event->response_type & 0x7F) == XCB_EXPOSE) {
                const auto* expose = reinterpret_cast<xcb_expose_event_t*>(event);
                for (auto& [name, w] : windows_) {
                    if (w.id == expose->window) draw(w);
                }
            }
            std::free(event);
        }
        return !xcb_connection_has_error(connection_);
    }

private:
    xcb_atom_t atom(const char* name) {
        auto* reply = xcb_intern_atom_reply(
            connection_, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return result;
    }

    void setTitle(const DemoWindow& w, const std::string& title) {
        const auto length = static_cast<std::uint32_t>(title.size());
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, w.id, netWmName_, utf8_, 8, length, title.data());
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, w.id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, length,
                            title.data());
    }

    void draw(DemoWindow& w) {
        const std::size_t stride = std::size_t{w.width} * 4;
        w.pixels.resize(stride * w.height);
        kestrova::demo::draw(w.pixels.data(), stride, w.width, w.height, w.counter, w.color);
        // Strips that fit one request each.
        const std::size_t maxBytes = std::size_t{xcb_get_maximum_request_length(connection_)} * 4 - 64;
        const std::uint32_t rows = static_cast<std::uint32_t>(std::max<std::size_t>(1, maxBytes / stride));
        for (std::uint32_t y = 0; y < w.height; y += rows) {
            const std::uint32_t n = std::min(rows, w.height - y);
            xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, w.id, gc_, static_cast<std::uint16_t>(w.width),
                          static_cast<std::uint16_t>(n), 0, static_cast<std::int16_t>(y), 0, screen_->root_depth,
                          static_cast<std::uint32_t>(stride * n), w.pixels.data() + stride * y);
        }
    }

    void answer(bool ok, const std::string& line) {
        // A round trip: the server has carried out everything sent before the answer.
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
        std::cout << (ok ? "ok " : "error ") << line << std::endl;
    }

    xcb_connection_t* connection_;
    xcb_screen_t* screen_ = nullptr;
    xcb_gcontext_t gc_ = 0;
    xcb_atom_t netWmName_ = XCB_ATOM_NONE;
    xcb_atom_t utf8_ = XCB_ATOM_NONE;
    std::map<std::string, DemoWindow> windows_;
};

}  // namespace

int main(int argc, char** argv) {
    Demo demo;
    if (!demo.connected()) {
        std::fputs("kestrova-output-demo: no se puede abrir la pantalla X\n", stderr);
        return 1;
    }
    for (int i = 1; i < argc; ++i) demo.command(std::string("open ") + argv[i]);
    std::string pending;
    bool stdinOpen = true;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {demo.fd(), POLLIN, 0}};
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
                    if (!line.empty() && !demo.command(line)) return 0;
                }
            }
        }
        if (!demo.events()) return 1;
        if (std::chrono::steady_clock::now() >= next) {
            demo.drawAll();
            next += kTick;
            if (next < std::chrono::steady_clock::now()) next = std::chrono::steady_clock::now() + kTick;
        }
    }
}
