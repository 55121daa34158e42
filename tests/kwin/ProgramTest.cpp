// The whole program on a KWin session: it chooses the KWin provider, its tray item (read over the session bus as a
// panel does) lists the companion's native Wayland windows, a choice from the menu is followed, and "Salir" ends it.

#include "KWinTestSupport.hpp"

#include "BridgeDesktop.hpp"
#include "ProgramPaths.hpp"

namespace {

using namespace kestrova::testing;

class ProgramOnKWin : public BridgeDesktop {
protected:
    void SetUp() override {
        ASSERT_FALSE(useTestCompositor().empty()) << "the test script starts KWin";
        BridgeDesktop::SetUp();
    }
    // The companion as a Wayland client; the bridge inherits WAYLAND_DISPLAY from the test.
    void startWaylandCompanion() {
        ChildProcess::Options options;
        options.environment["DBUS_SESSION_BUS_ADDRESS"] = bus_.address();
        options.pipeStdin = true;
        companion_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{kestrova::testing::paths::outputDemo, "--wayland"}, options);
    }
};

TEST_F(ProgramOnKWin, MenuFollowsNativeWindowsAndTheUsersChoiceAndSalirEndsTheProgram) {
    startWatcher();
    startWaylandCompanion();
    startBridge();
    EXPECT_EQ(waitForMenu(menuWith("Buscando pantallas Kestrova", {})), menuWith("Buscando pantallas Kestrova", {}));

    companion("open Uno");
    const auto one = menuWith("Transmitiendo como Kestrova Bridge", {"[x] " + kPrefix + "Uno"});
    EXPECT_EQ(waitForMenu(one), one);

    companion("open Dos");
    const auto unoChecked =
        menuWith("Transmitiendo como Kestrova Bridge", {kPrefix + "Dos", "[x] " + kPrefix + "Uno"});
    EXPECT_EQ(waitForMenu(unoChecked), unoChecked);

    ASSERT_TRUE(client_->clickLabel(item(), kPrefix + "Dos"));
    const auto dosChecked =
        menuWith("Transmitiendo como Kestrova Bridge", {"[x] " + kPrefix + "Dos", kPrefix + "Uno"});
    EXPECT_EQ(waitForMenu(dosChecked), dosChecked);

    // The chosen window closes while captured: the one left is taken.
    companion("close Dos");
    EXPECT_EQ(waitForMenu(one), one);

    ASSERT_TRUE(client_->clickLabel(item(), "Salir"));
    EXPECT_EQ(bridge_->wait(kBound), 0);
    EXPECT_EQ(bridge_->stdoutText(), "");
}

}  // namespace
