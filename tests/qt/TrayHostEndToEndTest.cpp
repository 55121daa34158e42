// The status item in notification areas this project did not write: xfce4-panel (a StatusNotifierItem host that is
// also an XEmbed tray) and trayer (XEmbed only), each on a desktop of the test's own, clicked with xdotool.

#include "ChildProcess.hpp"
#include "SniClient.hpp"
#include "TrayDesktop.hpp"
#include "WaitUntil.hpp"
#include "ProgramPaths.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using kestrova::testing::ChildProcess;
using kestrova::testing::SniClient;
using kestrova::testing::TrayDesktop;
using kestrova::testing::TrayKind;
using kestrova::testing::waitUntil;

namespace {

constexpr auto kBound = 20s;
const std::string kProbeName = "kestrova_qt_probe";
const std::string kNoTrayLine =
    "kestrova_qt_probe: no se encontró ninguna área de notificación; el icono aparecerá en cuanto haya una\n";

std::string kindName(TrayKind kind) { return kind == TrayKind::xfcePanel ? "xfce4_panel" : "trayer"; }

class TrayHostEndToEnd : public ::testing::TestWithParam<TrayKind> {
protected:
    void SetUp() override {
        desktop_ = std::make_unique<TrayDesktop>();
        ASSERT_TRUE(desktop_->isRunning()) << "no private X server with a window manager";
        client_ = std::make_unique<SniClient>(desktop_->busAddress());
        ASSERT_TRUE(client_->isConnected());
    }

    std::unique_ptr<ChildProcess> startProbe() {
        auto probe = std::make_unique<ChildProcess>(std::vector<std::string>{kestrova::testing::paths::qtProbe},
                                                    desktop_->options());
        EXPECT_TRUE(probe->waitForOutput("launched\n", kBound)) << probe->stderrText();
        return probe;
    }

    // xfce4-panel must show a StatusNotifierItem, not an embedded window; trayer only embeds. Either way the icon
    // must be drawn where a user would click it.
    bool itemShown() const {
        const auto windows = desktop_->visibleWindows(kProbeName);
        const bool ofItsKind = GetParam() == TrayKind::trayer
                                   ? windows.size() == 1
                                   : windows.empty() && !client_->registeredItems().empty();
        if (!ofItsKind) return false;
        const auto at = itemPosition();
        return at && desktop_->coloursAround(at->first, at->second, 8).value_or(0) > 2;
    }

    bool itemGone() const {
        return desktop_->visibleWindows(kProbeName).empty() && client_->registeredItems().empty();
    }

    // Where a user clicks the item: the embedded window, or the first button of the panel's notification area.
    std::optional<std::pair<int, int>> itemPosition() const {
        if (GetParam() == TrayKind::trayer) {
            const auto windows = desktop_->visibleWindows(kProbeName);
            if (windows.size() != 1) return std::nullopt;
            const auto icon = desktop_->geometry(windows.front());
            if (!icon) return std::nullopt;
            return std::pair{icon->x + icon->width / 2, icon->y + icon->height / 2};
        }
        const auto panels = desktop_->visibleWindows("xfce4-panel");
        if (panels.empty()) return std::nullopt;
        const auto panel = desktop_->geometry(panels.front());
        if (!panel) return std::nullopt;
        return std::pair{panel->x + 12, panel->y + panel->height / 2};
    }

    // A left click opens the probe's menu: one more window of the probe's own on screen.
    bool leftClickOpensTheMenu() {
        const auto before = desktop_->visibleWindows(kProbeName).size();
        const auto at = itemPosition();
        if (!at || !desktop_->click(at->first, at->second, 1)) return false;
        return waitUntil([&] { return desktop_->visibleWindows(kProbeName).size() == before + 1; }, kBound);
    }

    bool menuClosed() {
        const std::size_t withoutMenu = GetParam() == TrayKind::trayer ? 1 : 0;
        return waitUntil([&] { return desktop_->visibleWindows(kProbeName).size() == withoutMenu; }, kBound);
    }

    std::string screenshotPath(const std::string& name) const {
        std::filesystem::create_directories(kestrova::testing::paths::screenshotDir);
        return std::string(kestrova::testing::paths::screenshotDir) + "/" + kindName(GetParam()) + "-" + name + ".png";
    }

    std::unique_ptr<TrayDesktop> desktop_;
    std::unique_ptr<SniClient> client_;
};

TEST_P(TrayHostEndToEnd, ALeftClickOpensTheMenuAndSalirEndsTheProgramWithStatusZero) {
    ASSERT_TRUE(desktop_->startTray(GetParam()));
    auto probe = startProbe();
    ASSERT_TRUE(waitUntil([&] { return itemShown(); }, kBound)) << probe->stderrText();

    // The first enabled entry is the first window: choosing it from the keyboard puts the check mark on it.
    ASSERT_TRUE(leftClickOpensTheMenu());
    ASSERT_TRUE(desktop_->pressKeys({"Down", "Return"}));
    ASSERT_TRUE(probe->waitForOutput("selected 7\n", kBound));
    ASSERT_TRUE(menuClosed());

    ASSERT_TRUE(leftClickOpensTheMenu());
    EXPECT_TRUE(desktop_->screenshot(screenshotPath("menu")));
    // "Salir" is the last entry.
    ASSERT_TRUE(desktop_->pressKeys({"Up", "Return"}));
    EXPECT_EQ(probe->wait(kBound), 0) << probe->stderrText();
    EXPECT_EQ(probe->stdoutText(), "launched\nselected 7\nterminate requested\n");
    EXPECT_EQ(probe->stderrText().find("área de notificación"), std::string::npos) << probe->stderrText();
}

// A panel that starts after the program has given up waiting for one: the program said so once, and the item
// appears all the same.
TEST_P(TrayHostEndToEnd, ATrayStartedAfterTheProgramGetsTheItem) {
    auto probe = startProbe();
    ASSERT_TRUE(waitUntil([&] { return probe->stderrText().find(kNoTrayLine) != std::string::npos; }, kBound))
        << probe->stderrText();
    EXPECT_TRUE(probe->running());
    EXPECT_TRUE(itemGone());

    ASSERT_TRUE(desktop_->startTray(GetParam()));
    ASSERT_TRUE(waitUntil([&] { return itemShown(); }, kBound)) << probe->stderrText();
    ASSERT_TRUE(leftClickOpensTheMenu());
    EXPECT_TRUE(desktop_->screenshot(screenshotPath("late")));
    ASSERT_TRUE(desktop_->pressKeys({"Escape"}));
    EXPECT_TRUE(menuClosed());
    // Said once, not again while it waited.
    const std::string said = probe->stderrText();
    EXPECT_EQ(said.find(kNoTrayLine), said.rfind(kNoTrayLine)) << said;
}

TEST_P(TrayHostEndToEnd, AKilledAndRestartedTrayGetsTheItemBack) {
    ASSERT_TRUE(desktop_->startTray(GetParam()));
    auto probe = startProbe();
    ASSERT_TRUE(waitUntil([&] { return itemShown(); }, kBound)) << probe->stderrText();

    desktop_->killTray();
    ASSERT_TRUE(waitUntil([&] { return itemGone(); }, kBound));
    EXPECT_TRUE(probe->running());

    ASSERT_TRUE(desktop_->startTray(GetParam()));
    ASSERT_TRUE(waitUntil([&] { return itemShown(); }, kBound)) << probe->stderrText();
    ASSERT_TRUE(leftClickOpensTheMenu());
    ASSERT_TRUE(desktop_->pressKeys({"Escape"}));
    EXPECT_TRUE(menuClosed());
    EXPECT_TRUE(probe->running());
}

INSTANTIATE_TEST_SUITE_P(Trays, TrayHostEndToEnd, ::testing::Values(TrayKind::xfcePanel, TrayKind::trayer),
                         [](const auto& info) { return kindName(info.param); });

}  // namespace
