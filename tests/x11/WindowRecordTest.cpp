// What the provider reads off a window: the title's sources and encodings, the layer from type, state and
// override-redirect, the true owner over a claimed one, and the query's flags. Windows the test makes itself, with
// exactly the properties of each case, on the run's X server; the fallbacks on a private server without XRes.

#include "RawXClient.hpp"
#include "x11/X11ScreenCapture.hpp"
#include "X11TestSupport.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>

namespace {

using namespace kestrova;
using namespace kestrova::testing;

platform::Window find(const platform::ShareableContentAnswer& answer, std::uint32_t id) {
    if (!answer.content) return nullptr;
    for (const auto& w : answer.content->windows) {
        if (w->windowID == id) return w;
    }
    return nullptr;
}

// One query with the given flags, run to its completion on the loop.
platform::ShareableContentAnswer listWith(platform::ManualLoop& loop, platform::ScreenCaptureService& service,
                                          bool excludingDesktopWindows, bool onScreenWindowsOnly) {
    auto answer = std::make_shared<std::optional<platform::ShareableContentAnswer>>();
    service.getShareableContent(excludingDesktopWindows, onScreenWindowsOnly,
                                [answer](platform::ShareableContentAnswer a) {
                                    platform::mainQueue().post([answer, a = std::move(a)] { *answer = a; });
                                });
    if (!loop.runUntil([&] { return answer->has_value(); }, kBound)) {
        return platform::ShareableContentAnswer(platform::Error("no answer within the bound"));
    }
    return **answer;
}

struct RecordCase {
    const char* name;
    std::function<void(RawXClient&, xcb_window_t)> setup;
    std::optional<std::string> title;
    bool normalLayer;
    bool overrideRedirect = false;
};
void PrintTo(const RecordCase& c, std::ostream* out) { *out << c.name; }

class WindowRecord : public ::testing::TestWithParam<RecordCase> {};

TEST_P(WindowRecord, CarriesTitleLayerTrueOwnerAndSize) {
    const auto& c = GetParam();
    RawXClient x;
    ASSERT_TRUE(x.connected()) << "needs the run's X server (DISPLAY)";
    const xcb_window_t window = x.createWindow(123, 45, c.overrideRedirect);
    c.setup(x, window);
    x.sync();
    platform::ManualLoop loop;
    const auto answer = listWindows(loop, *platform::x11::makeX11ScreenCapture());
    const auto record = find(answer, window);
    ASSERT_TRUE(record) << (answer.error ? answer.error->description : "not listed");
    EXPECT_EQ(record->title, c.title);
    EXPECT_EQ(record->windowLayer == 0, c.normalLayer) << record->windowLayer;
    ASSERT_TRUE(record->owningApplication);
    EXPECT_EQ(record->owningApplication->processID, platform::currentProcessID());
    EXPECT_EQ(record->frame.width, 123);
    EXPECT_EQ(record->frame.height, 45);
}

void none(RawXClient&, xcb_window_t) {}
auto types(std::vector<std::string> atoms) {
    return [atoms](RawXClient& x, xcb_window_t w) { x.setAtoms(w, "_NET_WM_WINDOW_TYPE", atoms); };
}
auto states(std::vector<std::string> atoms) {
    return [atoms](RawXClient& x, xcb_window_t w) { x.setAtoms(w, "_NET_WM_STATE", atoms); };
}
auto text(std::string property, std::string type, std::string value) {
    return [=](RawXClient& x, xcb_window_t w) { x.setText(w, property, type, value); };
}

INSTANTIATE_TEST_SUITE_P(
    Properties, WindowRecord,
    ::testing::Values(
        RecordCase{"net_wm_name_wins_over_wm_name",
                   [](RawXClient& x, xcb_window_t w) {
                       x.setText(w, "_NET_WM_NAME", "UTF8_STRING", "Kestrova Output | ñandú ☃");
                       x.setText(w, "WM_NAME", "STRING", "otro");
                   },
                   "Kestrova Output | ñandú ☃", true},
        RecordCase{"wm_name_alone_latin1", text("WM_NAME", "STRING", "Kestrova Output | caf\xe9"),
                   "Kestrova Output | café", true},
        RecordCase{"wm_name_alone_utf8", text("WM_NAME", "UTF8_STRING", "Kestrova Output | é"),
                   "Kestrova Output | é", true},
        RecordCase{"empty_name_is_a_title", text("_NET_WM_NAME", "UTF8_STRING", ""), "", true},
        RecordCase{"no_name_no_title", none, std::nullopt, true},
        RecordCase{"type_normal", types({"_NET_WM_WINDOW_TYPE_NORMAL"}), std::nullopt, true},
        RecordCase{"unknown_type_before_normal", types({"_KESTROVA_TYPE_UNHEARD_OF", "_NET_WM_WINDOW_TYPE_NORMAL"}),
                   std::nullopt, true},
        RecordCase{"type_dock", types({"_NET_WM_WINDOW_TYPE_DOCK"}), std::nullopt, false},
        RecordCase{"type_dialog", types({"_NET_WM_WINDOW_TYPE_DIALOG"}), std::nullopt, false},
        RecordCase{"type_notification", types({"_NET_WM_WINDOW_TYPE_NOTIFICATION"}), std::nullopt, false},
        RecordCase{"type_popup_menu", types({"_NET_WM_WINDOW_TYPE_POPUP_MENU"}), std::nullopt, false},
        RecordCase{"state_above", states({"_NET_WM_STATE_ABOVE"}), std::nullopt, false},
        RecordCase{"state_below", states({"_NET_WM_STATE_BELOW"}), std::nullopt, false},
        RecordCase{"other_state_stays_normal", states({"_NET_WM_STATE_MAXIMIZED_VERT"}), std::nullopt, true},
        RecordCase{"override_redirect", none, std::nullopt, false, true},
        RecordCase{"claimed_process_loses_to_the_true_one",
                   [](RawXClient& x, xcb_window_t w) { x.setCardinal(w, "_NET_WM_PID", 1); }, std::nullopt, true},
        RecordCase{"mapped_then_unmapped",
                   [](RawXClient& x, xcb_window_t w) {
                       xcb_map_window(x.get(), w);
                       xcb_unmap_window(x.get(), w);
                   },
                   std::nullopt, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WindowQuery, FlagsLeaveOutDesktopsAndUnmappedWindowsAndInputOnlyIsNeverListed) {
    RawXClient x;
    ASSERT_TRUE(x.connected());
    const xcb_window_t desktop = x.createWindow(50, 50);
    x.setAtoms(desktop, "_NET_WM_WINDOW_TYPE", {"_NET_WM_WINDOW_TYPE_DESKTOP"});
    xcb_map_window(x.get(), desktop);
    const xcb_window_t unmapped = x.createWindow(50, 50);
    const xcb_window_t shown = x.createWindow(50, 50);
    xcb_map_window(x.get(), shown);
    const xcb_window_t inputOnly = x.createWindow(50, 50, false, true);
    xcb_map_window(x.get(), inputOnly);
    x.sync();
    platform::ManualLoop loop;
    const auto service = platform::x11::makeX11ScreenCapture();

    const auto everything = listWith(loop, *service, false, false);
    ASSERT_TRUE(find(everything, desktop));
    EXPECT_NE(find(everything, desktop)->windowLayer, 0);
    EXPECT_TRUE(find(everything, unmapped));
    EXPECT_TRUE(find(everything, shown));
    EXPECT_FALSE(find(everything, inputOnly));

    const auto withoutDesktops = listWith(loop, *service, true, false);
    EXPECT_FALSE(find(withoutDesktops, desktop));
    EXPECT_TRUE(find(withoutDesktops, unmapped));

    const auto onScreen = listWith(loop, *service, false, true);
    EXPECT_FALSE(find(onScreen, unmapped));
    EXPECT_TRUE(find(onScreen, shown));
}

// Without XRes the owner is whatever the window claims, or nobody; the desktop's scale turns pixels into points.
TEST(WindowQuery, WithoutXResTheClaimedOwnerCountsAndFramesAreInPoints) {
    ChildProcess server({"Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0", "640x480x24",
                         "-extension", "X-Resource"});
    ASSERT_TRUE(server.waitForOutput("\n", kBound));
    const std::string out = server.stdoutText();
    const std::string display = ":" + out.substr(0, out.find('\n'));
    RawXClient x(display);
    ASSERT_TRUE(x.connected());
    x.setRootText("RESOURCE_MANAGER", "Xcursor.size:\t24\nXft.dpi:\t192\n");
    const xcb_window_t claimed = x.createWindow(200, 100);
    x.setCardinal(claimed, "_NET_WM_PID", 4242);
    const xcb_window_t silent = x.createWindow(64, 33);
    x.sync();

    platform::ManualLoop loop;
    const auto answer = listWindows(loop, *platform::x11::makeX11ScreenCapture(display));
    const auto a = find(answer, claimed);
    const auto b = find(answer, silent);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(a->owningApplication);
    EXPECT_EQ(a->owningApplication->processID, 4242);
    EXPECT_FALSE(b->owningApplication);
    EXPECT_EQ(a->frame.width, 100);
    EXPECT_EQ(a->frame.height, 50);
    EXPECT_EQ(b->frame.height, 16.5);
}

}  // namespace
