// The whole program on a GNOME Wayland session: it chooses the GNOME provider, its item shows in the AppIndicator
// extension's tray (read over the shell's bus as a panel does) and lists the companion's native Wayland windows, a
// choice from the menu is followed, and "Salir" ends it; with the project's extension disabled, the status line
// says so and how to mend it.

#include "GnomeTestSupport.hpp"

#include "BridgeDesktop.hpp"
#include "ProgramPaths.hpp"

#include <cstdlib>

namespace {

using namespace kestrova::testing;

constexpr const char* kExtension = "kestrova-bridge@kestrova.org";

// Turns the project's extension off or on as the user does (gnome-extensions), through the shell itself.
bool setExtensionEnabled(bool enabled) {
    auto connected = kestrova::platform::gnome::BusConnection::connect();
    auto* bus = std::get_if<kestrova::platform::gnome::BusConnection>(&connected);
    if (!bus) return false;
    auto reply = kestrova::platform::gnome::callMethod(
        bus->get(), "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell.Extensions",
        enabled ? "EnableExtension" : "DisableExtension", g_variant_new("(s)", kExtension), "(b)");
    return std::holds_alternative<kestrova::platform::gnome::Variant>(reply);
}

class ProgramOnGnome : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(useTestShell()) << "the test script starts GNOME Shell";
        client_ = std::make_unique<SniClient>(std::getenv("DBUS_SESSION_BUS_ADDRESS"));
        ASSERT_TRUE(client_->isConnected());
        companion_ = std::make_unique<GnomeCompanion>();
    }

    // On a Wayland session with no X server at all, as GNOME's is until a program asks for Xwayland.
    void startBridge() {
        ChildProcess::Options options;
        options.environment = {{"XDG_SESSION_TYPE", "wayland"}};
        options.unsetEnvironment = {"DISPLAY", "QT_QPA_PLATFORM"};
        bridge_ = std::make_unique<ChildProcess>(std::vector<std::string>{kestrova::testing::paths::bridge}, options);
    }
    // This bridge's item: the tray may still list the item of an earlier test's bridge for a moment.
    StatusItemAddress item() {
        std::optional<StatusItemAddress> found;
        const bool listed = waitUntil(
            [&] {
                for (const auto& candidate : client_->registeredItems()) {
                    if (ownerPid(candidate.service) == bridge_->pid()) found = candidate;
                }
                return found.has_value();
            },
            kBound);
        EXPECT_TRUE(listed) << "the bridge's item never appeared in the AppIndicator tray";
        return found.value_or(StatusItemAddress{});
    }
    static pid_t ownerPid(const std::string& service) {
        auto connected = kestrova::platform::gnome::BusConnection::connect();
        auto* bus = std::get_if<kestrova::platform::gnome::BusConnection>(&connected);
        if (!bus) return -1;
        auto reply = kestrova::platform::gnome::callMethod(
            bus->get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetConnectionUnixProcessID", g_variant_new("(s)", service.c_str()), "(u)");
        auto* pid = std::get_if<kestrova::platform::gnome::Variant>(&reply);
        if (!pid) return -1;
        guint32 value = 0;
        g_variant_get(pid->get(), "(u)", &value);
        return static_cast<pid_t>(value);
    }
    std::vector<std::string> waitForMenu(const std::vector<std::string>& expected) {
        const auto menu = client_->waitForMenu(
            item(), [&](const ExportedMenu& m) { return shown(m) == expected; }, kBound);
        return menu ? shown(*menu) : std::vector<std::string>{};
    }

    std::unique_ptr<SniClient> client_;
    std::unique_ptr<GnomeCompanion> companion_;
    std::unique_ptr<ChildProcess> bridge_;
};

TEST_F(ProgramOnGnome, MenuFollowsNativeWindowsAndTheUsersChoiceAndSalirEndsTheProgram) {
    startBridge();
    EXPECT_EQ(waitForMenu(menuWith("Buscando pantallas Kestrova", {})), menuWith("Buscando pantallas Kestrova", {}));

    ASSERT_TRUE(companion_->command("open Uno"));
    const auto one = menuWith("Transmitiendo como Kestrova Bridge", {"[x] " + kPrefix + "Uno"});
    EXPECT_EQ(waitForMenu(one), one);

    ASSERT_TRUE(companion_->command("open Dos"));
    const auto unoChecked =
        menuWith("Transmitiendo como Kestrova Bridge", {kPrefix + "Dos", "[x] " + kPrefix + "Uno"});
    EXPECT_EQ(waitForMenu(unoChecked), unoChecked);

    ASSERT_TRUE(client_->clickLabel(item(), kPrefix + "Dos"));
    const auto dosChecked =
        menuWith("Transmitiendo como Kestrova Bridge", {"[x] " + kPrefix + "Dos", kPrefix + "Uno"});
    EXPECT_EQ(waitForMenu(dosChecked), dosChecked);

    // The chosen window closes while captured: the one left is taken.
    ASSERT_TRUE(companion_->command("close Dos"));
    EXPECT_EQ(waitForMenu(one), one);

    ASSERT_TRUE(client_->clickLabel(item(), "Salir"));
    EXPECT_EQ(bridge_->wait(kBound), 0);
    EXPECT_EQ(bridge_->stdoutText(), "");
}

TEST_F(ProgramOnGnome, WithTheExtensionDisabledTheStatusLineSaysHowToMendIt) {
    struct EnabledAgain {
        ~EnabledAgain() { EXPECT_TRUE(setExtensionEnabled(true)); }
    } enabledAgain;
    ASSERT_TRUE(setExtensionEnabled(false));
    startBridge();
    const auto failing = menuWith(
        "Error de captura: La extensión «Kestrova Bridge» de GNOME Shell no está activa: actívela con "
        "«gnome-extensions enable kestrova-bridge@kestrova.org» y vuelva a iniciar sesión",
        {});
    EXPECT_EQ(waitForMenu(failing), failing);

    ASSERT_TRUE(setExtensionEnabled(true));
    ASSERT_TRUE(companion_->command("open Vuelta"));
    const auto listed = menuWith("Transmitiendo como Kestrova Bridge", {"[x] " + kPrefix + "Vuelta"});
    EXPECT_EQ(waitForMenu(listed), listed);
}

}  // namespace
