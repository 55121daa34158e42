#include "Compositor.hpp"

#include "plasma-window-management-client-protocol.h"
#include "zkde-screencast-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <algorithm>
#include <string_view>

namespace kestrova::platform::kwin {

namespace {

// Window uuids and the stacking order by uuid came with version 13 of window management.
constexpr std::uint32_t kManagementVersion = 16;
constexpr std::uint32_t kManagementMinimum = 13;
constexpr std::uint32_t kScreencastVersion = 3;

}  // namespace

Error makeError(ErrorCode code, std::string description) {
    return Error(std::move(description), kErrorDomain, static_cast<int>(code));
}

Error connectionLostError() {
    return makeError(ErrorCode::connectionLost, "Se perdió la conexión con el compositor Wayland");
}

std::variant<std::unique_ptr<Compositor>, Error> Compositor::connect() {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) return makeError(ErrorCode::connectFailed, "No se puede conectar con el compositor Wayland");
    std::unique_ptr<Compositor> compositor(new Compositor(display));
    static constexpr wl_registry_listener kListener{global, globalRemove};
    compositor->registry_ = wl_display_get_registry(display);
    wl_registry_add_listener(compositor->registry_, &kListener, compositor.get());
    if (!compositor->roundtrip()) return connectionLostError();
    // KWin hides these restricted globals from programs it has not been told to trust.
    if (!compositor->management_ || !compositor->screencast_) {
        return makeError(ErrorCode::missingInterface,
                         "El compositor Wayland no permite a este programa ver ni capturar ventanas");
    }
    return compositor;
}

Compositor::~Compositor() {
    if (management_) org_kde_plasma_window_management_destroy(management_);
    if (screencast_) zkde_screencast_unstable_v1_destroy(screencast_);
    if (registry_) wl_registry_destroy(registry_);
    wl_display_disconnect(display_);
}

bool Compositor::broken() const { return wl_display_get_error(display_) != 0; }

bool Compositor::roundtrip() { return wl_display_roundtrip(display_) >= 0 && !broken(); }

void Compositor::global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                        std::uint32_t version) {
    auto* self = static_cast<Compositor*>(data);
    const std::string_view which(interface);
    if (which == org_kde_plasma_window_management_interface.name && version >= kManagementMinimum &&
        !self->management_) {
        self->management_ = static_cast<org_kde_plasma_window_management*>(wl_registry_bind(
            registry, name, &org_kde_plasma_window_management_interface, std::min(version, kManagementVersion)));
    } else if (which == zkde_screencast_unstable_v1_interface.name && !self->screencast_) {
        self->screencast_ = static_cast<zkde_screencast_unstable_v1*>(wl_registry_bind(
            registry, name, &zkde_screencast_unstable_v1_interface, std::min(version, kScreencastVersion)));
    }
}

}  // namespace kestrova::platform::kwin
