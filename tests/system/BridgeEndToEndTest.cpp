// The program as a user meets it: the companion opens, closes and retitles its output windows on the run's X
// server, the tray item's menu is read and clicked over the session bus as a panel does, and what the bridge
// publishes is received from PipeWire.

#include "BridgeDesktop.hpp"
#include "ProgramPaths.hpp"

namespace {

using namespace kestrova::testing;
using BridgeEndToEnd = BridgeDesktop;

TEST_F(BridgeEndToEnd, MenuFollowsTheCompanionsWindowsAndSalirEndsTheProgram) {
    startWatcher();
    startCompanion();
    startBridge();
    // No output window yet: the bridge keeps looking.
    EXPECT_EQ(waitForMenu(menuWith("Buscando pantallas Kestrova", {})), menuWith("Buscando pantallas Kestrova", {}));
    const auto menu = client_->readMenu(item());
    ASSERT_TRUE(menu);
    EXPECT_EQ(menu->back().shortcut, (std::vector<std::vector<std::string>>{{"Control", "Q"}}));

    // One window: selected without asking and transmitted.
    companion("open Uno");
    const auto one = menuWith("Transmitiendo como Kestrova Bridge", {"[x] " + kPrefix + "Uno"});
    EXPECT_EQ(waitForMenu(one), one);

    // A second window: the selection stays.
    companion("open Dos");
    const auto two = menuWith("Transmitiendo como Kestrova Bridge", {"[x] " + kPrefix + "Dos", kPrefix + "Uno"});
    const auto twoUnoChecked =
        menuWith("Transmitiendo como Kestrova Bridge", {kPrefix + "Dos", "[x] " + kPrefix + "Uno"});
    EXPECT_EQ(waitForMenu(twoUnoChecked), twoUnoChecked);

    // The user chooses the other one.
    ASSERT_TRUE(client_->clickLabel(item(), kPrefix + "Dos"));
    EXPECT_EQ(waitForMenu(two), two);

    // The chosen window closes: the one left is selected.
    companion("close Dos");
    EXPECT_EQ(waitForMenu(one), one);

    // The last window closes.
    companion("close Uno");
    const auto none = menuWith("Sin pantallas Kestrova", {});
    EXPECT_EQ(waitForMenu(none), none);

    ASSERT_TRUE(client_->clickLabel(item(), "Salir"));
    EXPECT_EQ(bridge_->wait(kBound), 0);
    EXPECT_EQ(bridge_->stdoutText(), "");
    // Nothing of the bridge stays on the X server: only the companion's connection is left.
    if (clientsBefore_ >= 0) {
        EXPECT_EQ(xClientCount(), clientsBefore_ + 1);
    }
}

TEST_F(BridgeEndToEnd, SeveralWindowsAtStartAskForAChoiceAndWithoutFrameServerTheWindowIsNamed) {
    startWatcher();
    startCompanion();
    companion("open Uno");
    companionDone("open Dos");
    startBridge(false);
    const auto choose = menuWith("Elegí una pantalla", {kPrefix + "Dos", kPrefix + "Uno"});
    EXPECT_EQ(waitForMenu(choose), choose);
    ASSERT_TRUE(client_->clickLabel(item(), kPrefix + "Uno"));
    const auto named = menuWith("Capturando " + kPrefix + "Uno; falta Syphon", {kPrefix + "Dos", "[x] " + kPrefix + "Uno"});
    EXPECT_EQ(waitForMenu(named), named);
}

// The C locales' collation puts every capital first; the menu ignores case under them too.
TEST_F(BridgeEndToEnd, TheMenuIgnoresLetterCaseUnderTheCLocale) {
    startWatcher();
    startCompanion();
    companion("open b");
    companion("open A");
    companionDone("open Uno");
    startBridge(false, {{"LC_ALL", "C.UTF-8"}});
    const auto choose = menuWith("Elegí una pantalla", {kPrefix + "A", kPrefix + "b", kPrefix + "Uno"});
    EXPECT_EQ(waitForMenu(choose), choose);
}

TEST_F(BridgeEndToEnd, TheWindowsPixelsReachAReceiverAtTwiceItsSize) {
    startWatcher();
    startCompanion();
    companion("open Uno 320 240");
    startBridge();
    const auto one = menuWith("Transmitiendo como Kestrova Bridge", {"[x] " + kPrefix + "Uno"});
    ASSERT_EQ(waitForMenu(one), one);
    // The receiver decodes the companion's moving counter from the pixels of every frame it gets.
    const auto received = kestrova::testing::runProgram(
        {kestrova::testing::paths::receive, "--frames", "20", "--timeout", "15", "--check-counter"}, 30s);
    EXPECT_EQ(received.status, 0) << received.out << received.err;
    EXPECT_NE(received.out.find("20 de 640x480"), std::string::npos) << received.out;
    bridge_->signal(SIGTERM);
    EXPECT_EQ(bridge_->wait(kBound), 0);
}

TEST_F(BridgeEndToEnd, WithoutATrayHostTheProgramKeepsRunningAndServesOnceOneAppears) {
    startBridge();
    // Its own X connection and the one discovery lists windows on: launched, and looking, with no host.
    if (clientsBefore_ >= 0) {
        EXPECT_TRUE(waitUntil([&] { return xClientCount() >= clientsBefore_ + 2; }, kBound));
    }
    ASSERT_TRUE(bridge_->running());
    startWatcher();
    const auto searching = menuWith("Buscando pantallas Kestrova", {});
    EXPECT_EQ(waitForMenu(searching), searching);
    bridge_->signal(SIGTERM);
    EXPECT_EQ(bridge_->wait(kBound), 0);
}

}  // namespace
