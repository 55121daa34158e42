// Listing through the compositor's window management: the companion's native Wayland windows with their titles,
// owner, size and stacking order, identifiers that hold across queries and retitles, and the pure rules that
// place each window in a layer and in the order.

#include "KWinTestSupport.hpp"
#include "kwin/KWinScreenCapture.hpp"
#include "kwin/WindowList.hpp"
#include "scripted/ManualLoop.hpp"

#include "WindowDiscovery.hpp"

#include "plasma-window-management-client-protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

namespace {

using namespace kestrova;
using namespace kestrova::testing;
using platform::kwin::WindowState;

const std::string kPrefix = "Kestrova Output | ";

std::ptrdiff_t indexOf(const platform::ShareableContent& content, const platform::Window& window) {
    return std::find(content.windows.begin(), content.windows.end(), window) - content.windows.begin();
}

class KWinListing : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(useTestCompositor().empty()) << "the test script starts KWin"; }

    platform::ManualLoop loop_;
    std::shared_ptr<platform::ScreenCaptureService> service_;
};

TEST_F(KWinListing, TheSessionIsRecognisedAsOneThatCanCaptureWindows) {
    EXPECT_TRUE(platform::kwin::sessionOffersWindowCapture());
}

TEST_F(KWinListing, CompanionWindowsComeWithTitleOwnerSizeAndStackingOrder) {
    service_ = platform::kwin::makeKWinScreenCapture();
    WaylandCompanion companion;
    ASSERT_TRUE(companion.command("open ListaUno 320 240"));
    ASSERT_TRUE(companion.command("open ListaDos 400 300"));
    const auto answer = listUntil(loop_, *service_, [](const platform::ShareableContent& c) {
        return titled(c, kPrefix + "ListaUno") && titled(c, kPrefix + "ListaDos");
    });
    ASSERT_TRUE(answer.content) << (answer.error ? answer.error->description : "");
    const auto uno = titled(*answer.content, kPrefix + "ListaUno");
    const auto dos = titled(*answer.content, kPrefix + "ListaDos");
    ASSERT_TRUE(uno && dos);
    for (const auto& [window, width, height] : {std::tuple(uno, 320.0, 240.0), std::tuple(dos, 400.0, 300.0)}) {
        SCOPED_TRACE(*window->title);
        EXPECT_EQ(window->windowLayer, 0);
        ASSERT_TRUE(window->owningApplication);
        EXPECT_EQ(window->owningApplication->processID, companion.pid());
        EXPECT_EQ(window->frame.width, width);
        EXPECT_EQ(window->frame.height, height);
        EXPECT_NE(window->windowID, 0u);
    }
    EXPECT_NE(uno->windowID, dos->windowID);
    // Bottom first: the window opened last is on top.
    EXPECT_LT(indexOf(*answer.content, uno), indexOf(*answer.content, dos));

    // The bridge shows another process's windows by title, and never its own.
    const auto shownToOthers = outputWindows(answer.content->windows, static_cast<std::int32_t>(getpid()));
    std::vector<std::string> titles;
    for (const auto& w : shownToOthers) {
        if (w.title().find("Lista") != std::string::npos) titles.push_back(w.title());
    }
    EXPECT_EQ(titles, (std::vector<std::string>{kPrefix + "ListaDos", kPrefix + "ListaUno"}));
    for (const auto& w : outputWindows(answer.content->windows, companion.pid())) {
        EXPECT_EQ(w.title().find("Lista"), std::string::npos) << w.title();
    }
}

TEST_F(KWinListing, IdentifiersHoldAcrossQueriesAndRetitlesAndClosedWindowsLeave) {
    service_ = platform::kwin::makeKWinScreenCapture();
    WaylandCompanion companion;
    ASSERT_TRUE(companion.command("open Fija"));
    ASSERT_TRUE(companion.command("open Breve"));
    auto answer = listUntil(loop_, *service_, [](const platform::ShareableContent& c) {
        return titled(c, kPrefix + "Fija") && titled(c, kPrefix + "Breve");
    });
    ASSERT_TRUE(answer.content);
    const std::uint32_t fija = titled(*answer.content, kPrefix + "Fija")->windowID;

    ASSERT_TRUE(companion.command("retitle Fija Kestrova Output | Renombrada"));
    ASSERT_TRUE(companion.command("close Breve"));
    answer = listUntil(loop_, *service_, [](const platform::ShareableContent& c) {
        return titled(c, kPrefix + "Renombrada") && !titled(c, kPrefix + "Breve");
    });
    ASSERT_TRUE(answer.content);
    const auto renamed = titled(*answer.content, kPrefix + "Renombrada");
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->windowID, fija);
    EXPECT_FALSE(titled(*answer.content, kPrefix + "Fija"));
    EXPECT_FALSE(titled(*answer.content, kPrefix + "Breve"));
}

TEST(KWinLayers, OnlyWindowsOfTheTaskBarAndSwitcherAreNormal) {
    constexpr std::uint32_t skipTaskbar = ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_SKIPTASKBAR;
    constexpr std::uint32_t skipSwitcher = ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_SKIPSWITCHER;
    constexpr std::uint32_t above = ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_KEEP_ABOVE;
    constexpr std::uint32_t below = ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_KEEP_BELOW;
    constexpr std::uint32_t ordinary = ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_ACTIVE |
                                       ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_MAXIMIZED |
                                       ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_CLOSEABLE;
    const struct {
        std::uint32_t flags;
        bool normal;
    } cases[] = {
        {0, true},
        {ordinary, true},
        {skipTaskbar, false},                       // a panel or an on-screen display
        {skipSwitcher, false},                      // a notification
        {skipTaskbar | skipSwitcher | below, false},  // the desktop
        {above, false},
        {below, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(platform::kwin::layerOf(c.flags) == 0, c.normal);
    }
    EXPECT_LT(platform::kwin::layerOf(skipTaskbar | skipSwitcher | below), platform::kwin::layerOf(below));
}

TEST(KWinOrder, RecordsFollowTheStackingOrderAndLeaveOutWhatCannotBeShown) {
    const auto window = [](std::string uuid, std::uint32_t flags = 0, bool described = true, bool unmapped = false) {
        WindowState w;
        w.uuid = std::move(uuid);
        w.title = "t" + w.uuid;
        w.flags = flags;
        w.described = described;
        w.unmapped = unmapped;
        w.frame = platform::Rect{0, 0, 100, 50};
        return w;
    };
    std::vector<WindowState> windows = {
        window("a"), window("b"), window("c", ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_MINIMIZED),
        window("d", 0, false), window("e", 0, true, true), window("f"), window("g")};
    windows.back().frame.height = 0;
    platform::kwin::WindowIds ids;
    const auto titles = [](const std::vector<platform::Window>& records) {
        std::vector<std::string> out;
        for (const auto& r : records) out.push_back(*r.get()->title);
        return out;
    };
    // Windows the order does not name (yet) follow it; a name of a window not announced is skipped.
    const auto all = platform::kwin::recordsOf(windows, {"c", "b", "x", "a"}, false, ids);
    EXPECT_EQ(titles(all), (std::vector<std::string>{"tc", "tb", "ta", "tf"}));
    const auto onScreen = platform::kwin::recordsOf(windows, {"c", "b", "x", "a"}, true, ids);
    EXPECT_EQ(titles(onScreen), (std::vector<std::string>{"tb", "ta", "tf"}));
    // Identifiers are the uuids' for good, whatever order the windows come in.
    EXPECT_EQ(onScreen[0]->windowID, all[1]->windowID);
    EXPECT_EQ(ids.keyOf(all[0]->windowID), "c");
    EXPECT_FALSE(ids.keyOf(0));
}

}  // namespace
