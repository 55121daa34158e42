#include "GnomeTestSupport.hpp"

#include "gnome/GnomeScreenCapture.hpp"
#include "WaitUntil.hpp"
#include "ProgramPaths.hpp"

#include <cstdlib>

namespace kestrova::testing {

namespace gnome = platform::gnome;

namespace {

constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* kSessions = "/org/gnome/Mutter/ScreenCast/Session";

ChildProcess::Options companionOptions() {
    ChildProcess::Options options;
    options.unsetEnvironment = {"DISPLAY"};
    return options;
}

}  // namespace

bool useTestShell() {
    const char* socket = std::getenv("KESTROVA_GNOME_SOCKET");
    const char* bus = std::getenv("KESTROVA_GNOME_BUS");
    if (socket == nullptr || *socket == '\0' || bus == nullptr || *bus == '\0') return false;
    setenv("WAYLAND_DISPLAY", socket, 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", bus, 1);
    return gnome::sessionOffersWindowCapture();
}

GnomeCompanion::GnomeCompanion()
    : CompanionProcess({kestrova::testing::paths::outputDemo, "--wayland"}, companionOptions(), kWaitBound) {}

ShellProbe::ShellProbe() {
    auto connected = gnome::BusConnection::connect();
    if (auto* bus = std::get_if<gnome::BusConnection>(&connected)) bus_.emplace(std::move(*bus));
}

std::variant<std::vector<gnome::ShellWindow>, platform::Error> ShellProbe::outputWindows() {
    if (!bus_) return platform::Error("no bus");
    return gnome::askShell(bus_->get());
}

std::optional<gnome::ShellWindow> ShellProbe::await(const std::string& title, bool sized) {
    std::optional<gnome::ShellWindow> found;
    (void)waitUntil(
        [&] {
            auto listed = outputWindows();
            auto* windows = std::get_if<std::vector<gnome::ShellWindow>>(&listed);
            if (!windows) return false;
            for (const auto& w : *windows) {
                if (w.title == title && (!sized || w.sized())) found = w;
            }
            return found.has_value();
        },
        kWaitBound, std::chrono::milliseconds(50));
    return found;
}

std::vector<std::string> ShellProbe::castSessions() {
    std::vector<std::string> paths;
    if (!bus_) return paths;
    auto reply = gnome::callMethod(bus_->get(), kScreenCast, kSessions, "org.freedesktop.DBus.Introspectable",
                                   "Introspect", nullptr, "(s)");
    auto* xml = std::get_if<gnome::Variant>(&reply);
    if (!xml) return paths;
    const gchar* text = nullptr;
    g_variant_get(xml->get(), "(&s)", &text);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(text, nullptr);
    if (!node) return paths;
    for (GDBusNodeInfo** child = node->nodes; child && *child; ++child) {
        paths.push_back(std::string(kSessions) + "/" + (*child)->path);
    }
    g_dbus_node_info_unref(node);
    return paths;
}

std::size_t ShellProbe::stopEveryCast() {
    if (!bus_) return 0;
    auto reply = gnome::callMethod(bus_->get(), "org.kestrova.BridgeTest", "/org/kestrova/BridgeTest",
                                   "org.kestrova.BridgeTest.Indicator", "StopEveryCast", nullptr, "(u)");
    auto* stopped = std::get_if<gnome::Variant>(&reply);
    if (!stopped) return 0;
    guint32 count = 0;
    g_variant_get(stopped->get(), "(u)", &count);
    return count;
}

bool ShellProbe::shellRuns() { return bus_ && gnome::nameHasOwner(bus_->get(), "org.gnome.Shell"); }

}  // namespace kestrova::testing
