#include "ShellWindows.hpp"

#include <algorithm>

namespace kestrova::platform::gnome {

namespace {

constexpr const char* kBusName = "org.kestrova.Bridge";
constexpr const char* kObjectPath = "/org/kestrova/Bridge";
constexpr const char* kInterface = "org.kestrova.Bridge.Windows";

// The same layer numbers as the other providers: docks, panels and the like sit above the normal layer.
constexpr std::int64_t kLayerNormal = 0;
constexpr std::int64_t kLayerSpecial = 20;

Rect rectOf(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height) {
    return Rect{double(x), double(y), double(std::max(width, 0)), double(std::max(height, 0))};
}

}  // namespace

std::vector<ShellWindow> shellWindowsOf(GVariant* reply) {
    std::vector<ShellWindow> windows;
    GVariantIter* iter = nullptr;
    g_variant_get(reply, "(a(tsi(iiii)(iiii)bu))", &iter);
    guint64 id = 0;
    const gchar* title = nullptr;
    gint32 pid = 0, fx = 0, fy = 0, fw = 0, fh = 0, bx = 0, by = 0, bw = 0, bh = 0;
    gboolean normal = FALSE;
    guint32 stacking = 0;
    while (g_variant_iter_next(iter, "(t&si(iiii)(iiii)bu)", &id, &title, &pid, &fx, &fy, &fw, &fh, &bx, &by, &bw,
                               &bh, &normal, &stacking)) {
        ShellWindow w;
        w.id = id;
        w.title = title;
        w.processID = pid;
        w.frame = rectOf(fx, fy, fw, fh);
        w.buffer = rectOf(bx, by, bw, bh);
        w.normal = normal;
        w.stacking = stacking;
        windows.push_back(std::move(w));
    }
    g_variant_iter_free(iter);
    return windows;
}

std::vector<Window> recordsOf(std::vector<ShellWindow> windows, WindowIds& ids) {
    std::stable_sort(windows.begin(), windows.end(),
                     [](const ShellWindow& a, const ShellWindow& b) { return a.stacking < b.stacking; });
    std::vector<Window> records;
    for (const auto& w : windows) {
        // A window that has not drawn yet has no size to capture at; the next query finds it drawn.
        if (!w.sized()) continue;
        auto record = std::make_shared<WindowRecord>();
        record->windowID = ids.idFor(w.id);
        record->title = w.title;
        record->windowLayer = w.normal ? kLayerNormal : kLayerSpecial;
        if (w.processID > 0) record->owningApplication = RunningApplication{w.processID};
        record->frame = w.frame;
        records.push_back(std::move(record));
    }
    return records;
}

std::variant<std::vector<ShellWindow>, Error> askShell(GDBusConnection* connection) {
    auto reply = callMethod(connection, kBusName, kObjectPath, kInterface, "ListOutputWindows", nullptr,
                            "(a(tsi(iiii)(iiii)bu))");
    if (auto* answer = std::get_if<Variant>(&reply)) return shellWindowsOf(answer->get());
    const auto& failure = std::get<CallFailure>(reply);
    if (failure.noOwner() && !nameHasOwner(connection, "org.gnome.Shell")) {
        return makeError(ErrorCode::connectionLost, "GNOME Shell no está en marcha en esta sesión");
    }
    if (failure.noOwner() || failure.unknownMethod()) {
        return makeError(ErrorCode::extensionMissing,
                         "La extensión «Kestrova Bridge» de GNOME Shell no está activa: actívela con "
                         "«gnome-extensions enable kestrova-bridge@kestrova.org» y vuelva a iniciar sesión");
    }
    if (g_dbus_connection_is_closed(connection)) return connectionLostError();
    return makeError(ErrorCode::connectionLost, "GNOME Shell no respondió: " + failure.message);
}

}  // namespace kestrova::platform::gnome
