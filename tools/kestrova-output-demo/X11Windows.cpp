// The demo's windows on an X server: plain top-level windows drawn with PutImage.

#include "DemoPattern.hpp"
#include "DemoWindows.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace kestrova::demo {

namespace {

struct X11Window {
    xcb_window_t id = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t color = 0;
    std::uint32_t counter = 0;
    bool mapped = true;
    std::vector<std::uint8_t> pixels;
};

class X11Windows final : public DemoWindows {
public:
    X11Windows() : connection_(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(connection_)) return;
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        gc_ = xcb_generate_id(connection_);
        xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
        netWmName_ = atom("_NET_WM_NAME");
        utf8_ = atom("UTF8_STRING");
    }
    ~X11Windows() override { xcb_disconnect(connection_); }

    bool connected() const { return screen_ != nullptr; }
    int fd() const override { return xcb_get_file_descriptor(connection_); }

    bool open(const std::string& name, std::uint32_t width, std::uint32_t height, bool shown) override {
        if (windows_.count(name) || width == 0 || height == 0) return false;
        X11Window w;
        w.id = xcb_generate_id(connection_);
        w.width = width;
        w.height = height;
        w.color = colorFor(name);
        const std::uint32_t values[] = {screen_->black_pixel,
                                        XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, w.id, screen_->root, 0, 0, static_cast<std::uint16_t>(width),
                          static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        windows_[name] = w;
        setTitle(windows_[name], std::string(kTitlePrefix) + name);
        windows_[name].mapped = shown;
        if (!shown) return true;
        xcb_map_window(connection_, w.id);
        // Its first picture at once, so that a window listed after the answer has one; under a window manager,
        // which maps it later, the exposure draws it.
        draw(windows_[name]);
        return true;
    }

    bool retitle(const std::string& name, const std::string& title) override {
        auto* w = find(name);
        if (w) setTitle(*w, title);
        return w != nullptr;
    }

    bool resize(const std::string& name, std::uint32_t width, std::uint32_t height) override {
        auto* w = find(name);
        if (!w || width == 0 || height == 0) return false;
        const std::uint32_t size[] = {width, height};
        xcb_configure_window(connection_, w->id, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
        w->width = width;
        w->height = height;
        return true;
    }

    bool unmap(const std::string& name) override {
        auto* w = find(name);
        if (!w) return false;
        xcb_unmap_window(connection_, w->id);
        w->mapped = false;
        return true;
    }

    bool map(const std::string& name) override {
        auto* w = find(name);
        if (!w) return false;
        xcb_map_window(connection_, w->id);
        w->mapped = true;
        return true;
    }

    bool close(const std::string& name) override {
        auto* w = find(name);
        if (!w) return false;
        xcb_destroy_window(connection_, w->id);
        windows_.erase(name);
        return true;
    }

    void drawAll() override {
        for (auto& [name, w] : windows_) {
            if (!w.mapped) continue;
            ++w.counter;
            draw(w);
        }
        xcb_flush(connection_);
    }

    bool events() override {
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

    void sync() override {
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }

private:
    X11Window* find(const std::string& name) {
        const auto found = windows_.find(name);
        return found == windows_.end() ? nullptr : &found->second;
    }

    xcb_atom_t atom(const char* name) {
        auto* reply = xcb_intern_atom_reply(
            connection_, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return result;
    }

    void setTitle(const X11Window& w, const std::string& title) {
        const auto length = static_cast<std::uint32_t>(title.size());
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, w.id, netWmName_, utf8_, 8, length, title.data());
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, w.id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, length,
                            title.data());
    }

    void draw(X11Window& w) {
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

    xcb_connection_t* connection_;
    xcb_screen_t* screen_ = nullptr;
    xcb_gcontext_t gc_ = 0;
    xcb_atom_t netWmName_ = XCB_ATOM_NONE;
    xcb_atom_t utf8_ = XCB_ATOM_NONE;
    std::map<std::string, X11Window> windows_;
};

}  // namespace

std::unique_ptr<DemoWindows> openX11Windows() {
    auto windows = std::make_unique<X11Windows>();
    if (!windows->connected()) return nullptr;
    return windows;
}

}  // namespace kestrova::demo
