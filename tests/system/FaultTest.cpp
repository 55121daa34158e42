// What real desktops do to the program: the captured window changing under it, floods of windows, hostile
// titles, windows flapping, the tray host going away. Nothing may crash, hang or leak descriptors.

#include "BridgeDesktop.hpp"
#include "ProcessStats.hpp"

namespace {

using namespace kestrova::testing;
using Faults = BridgeDesktop;

TEST_F(Faults, TheCapturedWindowRetitledResizedUnmappedRemappedAndClosed) {
    startWatcher();
    startCompanion();
    companion("open Uno");
    startBridge(false);
    const auto named = [](const std::string& title) {
        return menuWith("Capturando " + title + "; falta Syphon", {"[x] " + title});
    };
    ASSERT_EQ(waitForMenu(named(kPrefix + "Uno")), named(kPrefix + "Uno"));
    companion("retitle Uno " + kPrefix + "Otro nombre");
    EXPECT_EQ(waitForMenu(named(kPrefix + "Otro nombre")), named(kPrefix + "Otro nombre"));
    companionDone("resize Uno 97 31");
    companionDone("unmap Uno");
    companionDone("map Uno");
    companionDone("resize Uno 1 1");
    // A later list shows the window under its next title: unmapped or not, it stayed listed and selected.
    companion("retitle Uno " + kPrefix + "Tercero");
    EXPECT_EQ(waitForMenu(named(kPrefix + "Tercero")), named(kPrefix + "Tercero"));
    ASSERT_TRUE(bridge_->running());
    companion("close Uno");
    const auto none = menuWith("Sin pantallas Kestrova", {});
    EXPECT_EQ(waitForMenu(none), none);
    ASSERT_TRUE(client_->clickLabel(item(), "Salir"));
    EXPECT_EQ(bridge_->wait(kBound), 0);
}

TEST_F(Faults, FloodsHostileTitlesAndFlappingWindowsLeaveTheProgramServingAndLeakFree) {
    startWatcher();
    startCompanion();
    companion("open Uno 64 48");
    companion("open Dos 1 1");
    startBridge();
    const auto two = menuWith("Elegí una pantalla", {kPrefix + "Dos", kPrefix + "Uno"});
    ASSERT_EQ(waitForMenu(two), two);
    ASSERT_TRUE(client_->clickLabel(item(), kPrefix + "Dos"));  // a 1×1 window, captured at 2×2
    ASSERT_TRUE(client_->clickLabel(item(), kPrefix + "Uno"));
    const auto selected = [](const std::string& name) {
        const std::string dos = (name == "Dos" ? "[x] " : "") + kPrefix + "Dos";
        const std::string uno = (name == "Uno" ? "[x] " : "") + kPrefix + "Uno";
        return menuWith("Transmitiendo como Kestrova Bridge", {dos, uno});
    };
    const auto settled = selected("Uno");
    ASSERT_EQ(waitForMenu(settled), settled);
    const int before = openDescriptors(bridge_->pid());

    // Switch back and forth, then a flood: 200 windows, a 10,000-character title, bytes that are not UTF-8, and
    // a window that comes and goes while the lists are read.
    for (int i = 0; i < 6; ++i) {
        const std::string name = i % 2 ? "Uno" : "Dos";
        ASSERT_TRUE(client_->clickLabel(item(), kPrefix + name));
        EXPECT_EQ(waitForMenu(selected(name)), selected(name));
    }
    for (int i = 0; i < 200; ++i) companion("open M" + std::to_string(i) + " 16 16");
    companion("open Largo 32 32");
    companion("retitle Largo " + kPrefix + std::string(10000, 'x'));
    companion("open Roto 32 32");
    companion("retitle Roto " + kPrefix + "\xff\xfe\xc3(");
    for (int i = 0; i < 20; ++i) companionDone(i % 2 ? "close Flash" : "open Flash 20 20");
    const auto flooded = client_->waitForMenu(
        item(), [](const ExportedMenu& m) { return m.size() >= 209; }, kBound);
    ASSERT_TRUE(flooded);
    EXPECT_GE(flooded->size(), 209u);  // 203 windows, or 204 while the flapping one shows, and the fixed entries
    EXPECT_TRUE(bridge_->running());

    for (int i = 0; i < 200; ++i) companion("close M" + std::to_string(i));
    companion("close Largo");
    companion("close Roto");
    ASSERT_TRUE(client_->clickLabel(item(), kPrefix + "Uno"));
    EXPECT_EQ(waitForMenu(settled), settled);
    // Every stream of the switches gives back its descriptors and shared memory.
    EXPECT_TRUE(waitUntil([&] { return openDescriptors(bridge_->pid()) <= before + 2; }, kBound))
        << "before " << before << ", now " << openDescriptors(bridge_->pid());
    ASSERT_TRUE(client_->clickLabel(item(), "Salir"));
    EXPECT_EQ(bridge_->wait(kBound), 0);
}

TEST_F(Faults, ARestartedTrayHostGetsTheItemAgain) {
    startWatcher();
    startBridge();
    const auto searching = menuWith("Buscando pantallas Kestrova", {});
    ASSERT_EQ(waitForMenu(searching), searching);
    watcher_.reset();  // killed and reaped: its name has left the bus
    EXPECT_TRUE(bridge_->running());
    startWatcher();
    EXPECT_EQ(waitForMenu(searching), searching);
    bridge_->signal(SIGTERM);
    EXPECT_EQ(bridge_->wait(kBound), 0);
}

// "Salir" while the first list of 200 windows is still being read: the answer to that list arrives as the program
// ends, and every run still exits with status 0. TeardownDeathTest pins the race itself (the answer coming after
// the main queue is gone) in-process and every time; these few runs show the whole program on X11 ends cleanly.
TEST_F(Faults, QuittingWhileTheWindowsAreListedAlwaysEndsCleanly) {
    startWatcher();
    startCompanion();
    for (int i = 0; i < 199; ++i) companion("open M" + std::to_string(i) + " 16 16");
    companionDone("open M199 16 16");
    for (int run = 0; run < 5; ++run) {
        startBridge(false);
        const auto found = item();
        // A click that meets a menu rebuilt meanwhile (the first list arriving) names an entry that is gone: click
        // until the program ends.
        const auto quit = [&] {
            (void)client_->clickLabel(found, "Salir");
            return bridge_->wait(100ms).has_value();
        };
        ASSERT_TRUE(waitUntil(quit, kBound)) << "run " << run;
        ASSERT_EQ(bridge_->wait(kBound), 0) << "run " << run << ": " << bridge_->stderrText();
        // The watcher forgets the item of the ended program before the next one starts.
        ASSERT_TRUE(waitUntil([&] { return client_->registeredItems().empty(); }, kBound)) << "run " << run;
    }
}

}  // namespace
