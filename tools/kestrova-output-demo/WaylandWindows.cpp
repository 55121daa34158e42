// The demo's windows as a native Wayland client: xdg-shell toplevels drawn into shared-memory buffers.

#include "DemoPattern.hpp"
#include "DemoWindows.hpp"

#include "xdg-shell-client-protocol.h"

#include <wayland-client.h>

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <vector>

namespace kestrova::demo {

namespace {

constexpr std::string_view kAppID = "kestrova-output-demo";

// One wl_buffer over a memfd of its own; busy from attach until the compositor releases it.
class ShmBuffer {
public:
    ShmBuffer(wl_shm* shm, std::uint32_t width, std::uint32_t height) : width_(width), height_(height) {
        size_ = std::size_t{width} * height * 4;
        const int fd = memfd_create("kestrova-demo-window", MFD_CLOEXEC);
        if (fd < 0) return;
        if (ftruncate(fd, static_cast<off_t>(size_)) == 0) {
            void* mapping = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (mapping != MAP_FAILED) {
                pixels_ = static_cast<std::uint8_t*>(mapping);
                wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(size_));
                buffer_ = wl_shm_pool_create_buffer(pool, 0, static_cast<std::int32_t>(width),
                                                    static_cast<std::int32_t>(height),
                                                    static_cast<std::int32_t>(width * 4), WL_SHM_FORMAT_XRGB8888);
                wl_shm_pool_destroy(pool);
                wl_buffer_add_listener(buffer_, &kListener, this);
            }
        }
        ::close(fd);
    }
    ~ShmBuffer() {
        if (buffer_) wl_buffer_destroy(buffer_);
        if (pixels_) munmap(pixels_, size_);
    }
    ShmBuffer(const ShmBuffer&) = delete;
    ShmBuffer& operator=(const ShmBuffer&) = delete;

    bool usable() const { return buffer_ != nullptr; }
    bool busy() const { return busy_; }
    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    std::uint8_t* pixels() { return pixels_; }
    wl_buffer* attach() {
        busy_ = true;
        return buffer_;
    }

private:
    static void released(void* self, wl_buffer*) { static_cast<ShmBuffer*>(self)->busy_ = false; }
    static constexpr wl_buffer_listener kListener{released};

    std::uint32_t width_;
    std::uint32_t height_;
    std::size_t size_ = 0;
    std::uint8_t* pixels_ = nullptr;
    wl_buffer* buffer_ = nullptr;
    bool busy_ = false;
};

struct WaylandWindow {
    wl_surface* surface = nullptr;
    xdg_surface* shell = nullptr;
    xdg_toplevel* toplevel = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t color = 0;
    std::uint32_t counter = 0;
    bool mapped = true;
    bool configured = false;  // the compositor's configure was acknowledged: buffers may be attached
    std::vector<std::unique_ptr<ShmBuffer>> buffers;

    ~WaylandWindow() {
        buffers.clear();
        if (toplevel) xdg_toplevel_destroy(toplevel);
        if (shell) xdg_surface_destroy(shell);
        if (surface) wl_surface_destroy(surface);
    }
};

class WaylandWindows final : public DemoWindows {
public:
    WaylandWindows() : display_(wl_display_connect(nullptr)) {
        if (!display_) return;
        registry_ = wl_display_get_registry(display_);
        wl_registry_add_listener(registry_, &kRegistryListener, this);
        wl_display_roundtrip(display_);
    }
    ~WaylandWindows() override {
        if (!display_) return;
        windows_.clear();
        if (wmBase_) xdg_wm_base_destroy(wmBase_);
        if (shm_) wl_shm_destroy(shm_);
        if (compositor_) wl_compositor_destroy(compositor_);
        wl_registry_destroy(registry_);
        wl_display_disconnect(display_);
    }

    bool connected() const { return compositor_ && shm_ && wmBase_; }
    int fd() const override { return wl_display_get_fd(display_); }

    bool open(const std::string& name, std::uint32_t width, std::uint32_t height, bool shown) override {
        if (windows_.count(name) || width == 0 || height == 0) return false;
        auto w = std::make_unique<WaylandWindow>();
        w->width = width;
        w->height = height;
        w->color = colorFor(name);
        w->mapped = shown;
        w->surface = wl_compositor_create_surface(compositor_);
        w->shell = xdg_wm_base_get_xdg_surface(wmBase_, w->surface);
        xdg_surface_add_listener(w->shell, &kShellListener, w.get());
        w->toplevel = xdg_surface_get_toplevel(w->shell);
        xdg_toplevel_add_listener(w->toplevel, &kToplevelListener, w.get());
        xdg_toplevel_set_title(w->toplevel, (std::string(kTitlePrefix) + name).c_str());
        xdg_toplevel_set_app_id(w->toplevel, kAppID.data());
        // The first commit has no buffer: the compositor answers with the configure that allows one.
        wl_surface_commit(w->surface);
        windows_[name] = std::move(w);
        wl_display_roundtrip(display_);
        draw(*windows_[name]);
        return true;
    }

    bool retitle(const std::string& name, const std::string& title) override {
        auto* w = find(name);
        if (w) xdg_toplevel_set_title(w->toplevel, title.c_str());
        return w != nullptr;
    }

    bool resize(const std::string& name, std::uint32_t width, std::uint32_t height) override {
        auto* w = find(name);
        if (!w || width == 0 || height == 0) return false;
        w->width = width;
        w->height = height;
        draw(*w);
        return true;
    }

    bool unmap(const std::string& name) override {
        auto* w = find(name);
        if (!w) return false;
        wl_surface_attach(w->surface, nullptr, 0, 0);
        wl_surface_commit(w->surface);
        w->mapped = false;
        w->configured = false;
        return true;
    }

    bool map(const std::string& name) override {
        auto* w = find(name);
        if (!w) return false;
        if (!w->mapped) {
            w->mapped = true;
            wl_surface_commit(w->surface);
            wl_display_roundtrip(display_);
            draw(*w);
        }
        return true;
    }

    bool close(const std::string& name) override { return windows_.erase(name) > 0; }

    void drawAll() override {
        for (auto& [name, w] : windows_) {
            if (!w->mapped) continue;
            ++w->counter;
            draw(*w);
        }
        wl_display_flush(display_);
    }

    bool events() override {
        if (wl_display_dispatch_pending(display_) < 0) return false;
        pollfd readable{fd(), POLLIN, 0};
        if (::poll(&readable, 1, 0) > 0 && wl_display_dispatch(display_) < 0) return false;
        wl_display_flush(display_);
        return wl_display_get_error(display_) == 0;
    }

    void sync() override { wl_display_roundtrip(display_); }

private:
    WaylandWindow* find(const std::string& name) {
        const auto found = windows_.find(name);
        return found == windows_.end() ? nullptr : found->second.get();
    }

    // Draws into a buffer the compositor is not reading; a tick without one is skipped.
    void draw(WaylandWindow& w) {
        if (!w.mapped || !w.configured) return;
        std::erase_if(w.buffers, [&](const auto& b) {
            return !b->busy() && (b->width() != w.width || b->height() != w.height);
        });
        ShmBuffer* target = nullptr;
        for (auto& b : w.buffers) {
            if (!b->busy() && b->width() == w.width && b->height() == w.height) target = b.get();
        }
        if (!target && w.buffers.size() < 3) {
            auto fresh = std::make_unique<ShmBuffer>(shm_, w.width, w.height);
            if (!fresh->usable()) return;
            target = fresh.get();
            w.buffers.push_back(std::move(fresh));
        }
        if (!target) return;
        kestrova::demo::draw(target->pixels(), std::size_t{w.width} * 4, w.width, w.height, w.counter, w.color);
        wl_surface_attach(w.surface, target->attach(), 0, 0);
        wl_surface_damage_buffer(w.surface, 0, 0, static_cast<std::int32_t>(w.width),
                                 static_cast<std::int32_t>(w.height));
        wl_surface_commit(w.surface);
    }

    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
        auto* self = static_cast<WaylandWindows*>(data);
        const std::string_view which(interface);
        if (which == wl_compositor_interface.name && version >= 4) {
            self->compositor_ =
                static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
        } else if (which == wl_shm_interface.name) {
            self->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
        } else if (which == xdg_wm_base_interface.name) {
            self->wmBase_ = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
            xdg_wm_base_add_listener(self->wmBase_, &kWmBaseListener, self);
        }
    }
    static void globalRemove(void*, wl_registry*, std::uint32_t) {}
    static void ping(void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); }
    static void configure(void* data, xdg_surface* shell, std::uint32_t serial) {
        xdg_surface_ack_configure(shell, serial);
        static_cast<WaylandWindow*>(data)->configured = true;
    }
    // The windows keep the size they were given: a floating window's suggested size is only a hint.
    static void toplevelConfigure(void*, xdg_toplevel*, std::int32_t, std::int32_t, wl_array*) {}
    static void toplevelClose(void*, xdg_toplevel*) {}
    static void toplevelBounds(void*, xdg_toplevel*, std::int32_t, std::int32_t) {}
    static void toplevelCapabilities(void*, xdg_toplevel*, wl_array*) {}

    static constexpr wl_registry_listener kRegistryListener{global, globalRemove};
    static constexpr xdg_wm_base_listener kWmBaseListener{ping};
    static constexpr xdg_surface_listener kShellListener{configure};
    static constexpr xdg_toplevel_listener kToplevelListener{toplevelConfigure, toplevelClose, toplevelBounds,
                                                              toplevelCapabilities};

    wl_display* display_;
    wl_registry* registry_ = nullptr;
    wl_compositor* compositor_ = nullptr;
    wl_shm* shm_ = nullptr;
    xdg_wm_base* wmBase_ = nullptr;
    std::map<std::string, std::unique_ptr<WaylandWindow>> windows_;
};

}  // namespace

std::unique_ptr<DemoWindows> openWaylandWindows() {
    auto windows = std::make_unique<WaylandWindows>();
    if (!windows->connected()) return nullptr;
    return windows;
}

}  // namespace kestrova::demo
