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
    companion("resize Uno 97 31");
    companion("unmap Uno");
    companion("map Uno");
    companion("resize Uno 1 1");
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(bridge_->running());
    // Unmapped or not, the window stays listed and selected.
    EXPECT_EQ(shown(*client_->readMenu(item())), named(kPrefix + "Otro nombre"));
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
    const auto settled = menuWith("Transmitiendo como Kestrova Bridge", {kPrefix + "Dos", "[x] " + kPrefix + "Uno"});
    ASSERT_EQ(waitForMenu(settled), settled);
    std::this_thread::sleep_for(500ms);
    const int before = openDescriptors(bridge_->pid());

    // Switch back and forth, then a flood: 200 windows, a 10,000-character title, bytes that are not UTF-8, and
    // a window that comes and goes every 100 ms.
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(client_->clickLabel(item(), kPrefix + (i % 2 ? "Uno" : "Dos")));
        std::this_thread::sleep_for(150ms);
    }
    for (int i = 0; i < 200; ++i) companion("open M" + std::to_string(i) + " 16 16");
    companion("open Largo 32 32");
    companion("retitle Largo " + kPrefix + std::string(10000, 'x'));
    companion("open Roto 32 32");
    companion("retitle Roto " + kPrefix + "\xff\xfe\xc3(");
    for (int i = 0; i < 20; ++i) {
        companion(i % 2 ? "close Flash" : "open Flash 20 20");
        std::this_thread::sleep_for(100ms);
    }
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
    std::this_thread::sleep_for(500ms);
    // Every stream of the switches gave back its descriptors and shared memory.
    EXPECT_LE(openDescriptors(bridge_->pid()), before + 2) << "before " << before;
    ASSERT_TRUE(client_->clickLabel(item(), "Salir"));
    EXPECT_EQ(bridge_->wait(kBound), 0);
}

TEST_F(Faults, ARestartedTrayHostGetsTheItemAgain) {
    startWatcher();
    startBridge();
    const auto searching = menuWith("Buscando pantallas Kestrova", {});
    ASSERT_EQ(waitForMenu(searching), searching);
    watcher_.reset();
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(bridge_->running());
    startWatcher();
    EXPECT_EQ(waitForMenu(searching), searching);
    bridge_->signal(SIGTERM);
    EXPECT_EQ(bridge_->wait(kBound), 0);
}

}  // namespace
