#include "WindowList.hpp"

#include "plasma-window-management-client-protocol.h"

#include <wayland-client.h>

#include <algorithm>
#include <memory>
#include <set>

namespace kestrova::platform::kwin {

namespace {

// The same layer numbers as the X11 provider, so that the core sees one scale.
constexpr std::int64_t kLayerDesktop = -20;
constexpr std::int64_t kLayerBelow = -1;
constexpr std::int64_t kLayerNormal = 0;
constexpr std::int64_t kLayerAbove = 3;
constexpr std::int64_t kLayerDock = 20;

constexpr std::uint32_t kSpecial =
    ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_SKIPTASKBAR | ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_SKIPSWITCHER;
// Each window's initial state comes after a round trip of its own; a compositor that keeps adding windows is not
// waited for past this many.
constexpr int kMostRoundTrips = 8;

// One window object on the listing connection, filling its state from the compositor's events.
struct TrackedWindow {
    org_kde_plasma_window* proxy = nullptr;
    WindowState state;

    ~TrackedWindow() {
        if (proxy) org_kde_plasma_window_destroy(proxy);
    }

    static TrackedWindow& of(void* data) { return *static_cast<TrackedWindow*>(data); }
    static void title(void* d, org_kde_plasma_window*, const char* t) { of(d).state.title = std::string(t); }
    static void appID(void*, org_kde_plasma_window*, const char*) {}
    static void flags(void* d, org_kde_plasma_window*, std::uint32_t f) { of(d).state.flags = f; }
    static void desktop(void*, org_kde_plasma_window*, std::int32_t) {}
    static void text(void*, org_kde_plasma_window*, const char*) {}
    static void unmapped(void* d, org_kde_plasma_window*) { of(d).state.unmapped = true; }
    static void initial(void* d, org_kde_plasma_window*) { of(d).state.described = true; }
    static void parent(void*, org_kde_plasma_window*, org_kde_plasma_window*) {}
    static void geometry(void* d, org_kde_plasma_window*, std::int32_t x, std::int32_t y, std::uint32_t w,
                         std::uint32_t h) {
        of(d).state.frame = Rect{double(x), double(y), double(w), double(h)};
    }
    static void icon(void*, org_kde_plasma_window*) {}
    static void pid(void* d, org_kde_plasma_window*, std::uint32_t p) {
        if (p > 0) of(d).state.processID = static_cast<std::int32_t>(p);
    }
    static void menu(void*, org_kde_plasma_window*, const char*, const char*) {}

    static constexpr org_kde_plasma_window_listener kListener{
        title, appID, flags, desktop, text, unmapped, initial, parent, geometry, icon, pid, text, text, menu,
        text, text, text};
};

// The listing connection's view: the windows announced and the stacking order.
struct Catalog {
    org_kde_plasma_window_management* management = nullptr;
    std::vector<std::unique_ptr<TrackedWindow>> windows;
    std::vector<std::string> stacking;

    static Catalog& of(void* data) { return *static_cast<Catalog*>(data); }
    static void showDesktop(void*, org_kde_plasma_window_management*, std::uint32_t) {}
    static void window(void*, org_kde_plasma_window_management*, std::uint32_t) {}
    static void order(void*, org_kde_plasma_window_management*, wl_array*) {}
    static void orderByUuid(void* d, org_kde_plasma_window_management*, const char* uuids) {
        auto& stacking = of(d).stacking;
        stacking.clear();
        const std::string_view all(uuids);
        for (std::size_t begin = 0; begin <= all.size();) {
            const auto end = std::min(all.find(';', begin), all.size());
            if (end > begin) stacking.emplace_back(all.substr(begin, end - begin));
            begin = end + 1;
        }
    }
    static void windowWithUuid(void* d, org_kde_plasma_window_management*, std::uint32_t, const char* uuid) {
        auto& self = of(d);
        auto tracked = std::make_unique<TrackedWindow>();
        tracked->state.uuid = uuid;
        tracked->proxy = org_kde_plasma_window_management_get_window_by_uuid(self.management, uuid);
        org_kde_plasma_window_add_listener(tracked->proxy, &TrackedWindow::kListener, tracked.get());
        self.windows.push_back(std::move(tracked));
    }

    static constexpr org_kde_plasma_window_management_listener kListener{showDesktop, window, order, orderByUuid,
                                                                          windowWithUuid};
};

}  // namespace

std::int64_t layerOf(std::uint32_t flags) {
    const bool below = (flags & ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_KEEP_BELOW) != 0;
    if ((flags & kSpecial) != 0) return below ? kLayerDesktop : kLayerDock;
    if ((flags & ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_KEEP_ABOVE) != 0) return kLayerAbove;
    return below ? kLayerBelow : kLayerNormal;
}

std::vector<Window> recordsOf(const std::vector<WindowState>& windows, const std::vector<std::string>& stacking,
                              bool onScreenWindowsOnly, WindowIds& ids) {
    std::vector<const WindowState*> ordered;
    std::set<std::string> placed;
    const auto place = [&](const WindowState& w) {
        if (placed.insert(w.uuid).second) ordered.push_back(&w);
    };
    for (const auto& uuid : stacking) {
        const auto found = std::find_if(windows.begin(), windows.end(), [&](const auto& w) { return w.uuid == uuid; });
        if (found != windows.end()) place(*found);
    }
    for (const auto& w : windows) place(w);

    std::vector<Window> records;
    for (const WindowState* w : ordered) {
        // A window whose size is not known yet has no picture to take; the next query finds it complete.
        if (!w->described || w->unmapped || w->frame.width <= 0 || w->frame.height <= 0) continue;
        if (onScreenWindowsOnly && (w->flags & ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_MINIMIZED) != 0) continue;
        auto record = std::make_shared<WindowRecord>();
        record->windowID = ids.idFor(w->uuid);
        record->title = w->title;
        record->windowLayer = layerOf(w->flags);
        if (w->processID) record->owningApplication = RunningApplication{*w->processID};
        record->frame = w->frame;
        records.push_back(std::move(record));
    }
    return records;
}

std::variant<std::vector<Window>, Error> listWindows(Compositor& compositor, bool excludingDesktopWindows,
                                                     bool onScreenWindowsOnly, WindowIds& ids) {
    Catalog catalog;
    catalog.management = compositor.windowManagement();
    org_kde_plasma_window_management_add_listener(catalog.management, &Catalog::kListener, &catalog);
    // The announcements, then the windows' initial states, which may announce more.
    for (int trip = 0; trip < kMostRoundTrips; ++trip) {
        if (!compositor.roundtrip()) return connectionLostError();
        const bool complete = std::all_of(catalog.windows.begin(), catalog.windows.end(), [](const auto& w) {
            return w->state.described || w->state.unmapped;
        });
        if (complete && trip > 0) break;
    }
    std::vector<WindowState> states;
    for (const auto& tracked : catalog.windows) {
        if (excludingDesktopWindows && layerOf(tracked->state.flags) == kLayerDesktop) continue;
        states.push_back(tracked->state);
    }
    return recordsOf(states, catalog.stacking, onScreenWindowsOnly, ids);
}

}  // namespace kestrova::platform::kwin
