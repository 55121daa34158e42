#pragma once

#include "Error.hpp"
#include "KWinScreenCapture.hpp"

#include <memory>
#include <string>
#include <variant>

struct wl_display;
struct wl_registry;
struct org_kde_plasma_window_management;
struct zkde_screencast_unstable_v1;

namespace kestrova::platform::kwin {

Error makeError(ErrorCode code, std::string description);
Error connectionLostError();

// One connection to the compositor of WAYLAND_DISPLAY with KDE's window-management and screencast globals bound.
// Used by one thread at a time.
class Compositor {
public:
    static std::variant<std::unique_ptr<Compositor>, Error> connect();
    ~Compositor();
    Compositor(const Compositor&) = delete;
    Compositor& operator=(const Compositor&) = delete;

    wl_display* display() const { return display_; }
    org_kde_plasma_window_management* windowManagement() const { return management_; }
    zkde_screencast_unstable_v1* screencast() const { return screencast_; }
    // A failed connection never recovers.
    bool broken() const;
    // Sends what is pending and waits for the compositor's answers; false when the connection broke.
    bool roundtrip();

private:
    explicit Compositor(wl_display* display) : display_(display) {}
    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version);
    static void globalRemove(void*, wl_registry*, std::uint32_t) {}

    wl_display* display_;
    wl_registry* registry_ = nullptr;
    org_kde_plasma_window_management* management_ = nullptr;
    zkde_screencast_unstable_v1* screencast_ = nullptr;
};

}  // namespace kestrova::platform::kwin
