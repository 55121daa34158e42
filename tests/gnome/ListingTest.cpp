// Listing through the project's shell extension: the companion's native Wayland windows with their titles, owner,
// size and stacking order, windows without the prefix never leaving the shell, and the pure rules that turn the
// extension's answer into records.

#include "gnome/GnomeScreenCapture.hpp"
#include "GnomeTestSupport.hpp"
#include "gnome/ShellWindows.hpp"

#include "WaitUntil.hpp"
#include "WindowDiscovery.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace {

using namespace kestrova;
using namespace kestrova::testing;
using platform::gnome::ShellWindow;

const std::string kPrefix = "Kestrova Output | ";

std::ptrdiff_t indexOf(const platform::ShareableContent& content, const platform::Window& window) {
    return std::find(content.windows.begin(), content.windows.end(), window) - content.windows.begin();
}

class GnomeListing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(useTestShell()) << "the test script starts GNOME Shell";
        service_ = platform::gnome::makeGnomeScreenCapture();
    }

    platform::ManualLoop loop_;
    std::shared_ptr<platform::ScreenCaptureService> service_;
};

TEST_F(GnomeListing, CompanionWindowsComeWithTitleOwnerSizeAndStackingOrder) {
    GnomeCompanion companion;
    ASSERT_TRUE(companion.command("open ListaUno 320 240"));
    ASSERT_TRUE(companion.command("open ListaDos 400 300"));
    const auto answer = listUntil(loop_, *service_, [](const platform::ShareableContent& c) {
        const auto uno = titled(c, kPrefix + "ListaUno");
        const auto dos = titled(c, kPrefix + "ListaDos");
        return uno && dos && uno->frame.width > 0 && dos->frame.width > 0;
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
    }
    EXPECT_NE(uno->windowID, dos->windowID);
    // Bottom first, as the shell stacks them (Mutter may keep a new window below the focused one).
    ShellProbe shell;
    const auto shellUno = shell.await(kPrefix + "ListaUno");
    const auto shellDos = shell.await(kPrefix + "ListaDos");
    ASSERT_TRUE(shellUno && shellDos);
    ASSERT_NE(shellUno->stacking, shellDos->stacking);
    EXPECT_EQ(indexOf(*answer.content, uno) < indexOf(*answer.content, dos), shellUno->stacking < shellDos->stacking);

    // The bridge shows another process's windows by title, and never its own.
    std::vector<std::string> titles;
    for (const auto& w : outputWindows(answer.content->windows, static_cast<std::int32_t>(getpid()))) {
        if (w.title().find("Lista") != std::string::npos) titles.push_back(w.title());
    }
    EXPECT_EQ(titles, (std::vector<std::string>{kPrefix + "ListaDos", kPrefix + "ListaUno"}));
    EXPECT_TRUE(outputWindows(answer.content->windows, companion.pid()).empty());
}

TEST_F(GnomeListing, IdentifiersHoldAcrossQueriesAndRetitlesAndClosedWindowsLeave) {
    GnomeCompanion companion;
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
}

// Other windows' titles are private to the shell: a title that does not begin with the prefix exactly is never
// told, whatever else it looks like.
TEST_F(GnomeListing, AWindowWithoutThePrefixNeverLeavesTheShell) {
    GnomeCompanion companion;
    ShellProbe shell;
    ASSERT_TRUE(companion.command("open Privada"));
    const auto shown = shell.await(kPrefix + "Privada", false);
    ASSERT_TRUE(shown);
    for (const std::string title : {"Otra ventana", "Kestrova Output", "Kestrova Output|junto", "kestrova output | x",
                                    " Kestrova Output | con blanco delante"}) {
        SCOPED_TRACE(title);
        ASSERT_TRUE(companion.command("retitle Privada " + kPrefix + "Privada"));
        ASSERT_TRUE(shell.await(kPrefix + "Privada", false));
        ASSERT_TRUE(companion.command("retitle Privada " + title));
        const bool left = waitUntil(
            [&] {
                auto listed = shell.outputWindows();
                auto* windows = std::get_if<std::vector<ShellWindow>>(&listed);
                return windows && std::none_of(windows->begin(), windows->end(),
                                               [&](const ShellWindow& w) { return w.id == shown->id; });
            },
            kWaitBound);
        EXPECT_TRUE(left);
        auto listed = shell.outputWindows();
        ASSERT_TRUE(std::holds_alternative<std::vector<ShellWindow>>(listed));
        for (const auto& w : std::get<std::vector<ShellWindow>>(listed)) {
            EXPECT_EQ(w.title.rfind("Kestrova Output |", 0), 0u) << w.title;
        }
    }
}

// The shell tells of a window that has not drawn, without a size; the bridge lists it once it has one, so that
// the capture is never made for a window of no size.
TEST_F(GnomeListing, AWindowThatHasNotDrawnIsListedOnceItHasASize) {
    GnomeCompanion companion;
    ShellProbe shell;
    ASSERT_TRUE(companion.command("announce Vacia 320 240"));
    const auto announced = shell.await(kPrefix + "Vacia", false);
    ASSERT_TRUE(announced);
    EXPECT_FALSE(announced->sized());
    auto answer = listWindows(loop_, *service_);
    ASSERT_TRUE(answer.content);
    EXPECT_FALSE(titled(*answer.content, kPrefix + "Vacia"));

    ASSERT_TRUE(companion.command("map Vacia"));
    answer = listUntil(loop_, *service_, [](const auto& c) { return titled(c, kPrefix + "Vacia") != nullptr; });
    ASSERT_TRUE(answer.content);
    const auto drawn = titled(*answer.content, kPrefix + "Vacia");
    ASSERT_TRUE(drawn);
    EXPECT_EQ(drawn->frame.width, 320);
    EXPECT_EQ(drawn->frame.height, 240);
}

// Where no shell runs, the listing says so rather than blame the extension.
TEST(GnomeListingWithoutShell, TheListingSaysTheShellIsNotRunning) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    ASSERT_TRUE(runtime) << "the test script starts a session bus without a shell";
    const std::string address = std::string("unix:path=") + runtime + "/bus";
    const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                         G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr, nullptr);
    ASSERT_TRUE(bus);
    const auto listed = platform::gnome::askShell(bus);
    g_object_unref(bus);
    ASSERT_TRUE(std::holds_alternative<platform::Error>(listed));
    const auto& error = std::get<platform::Error>(listed);
    EXPECT_EQ(error.code, static_cast<int>(platform::gnome::ErrorCode::connectionLost));
    EXPECT_EQ(error.description, "GNOME Shell no está en marcha en esta sesión");
}

TEST(GnomeRecords, RecordsOfSizedWindowsFollowTheStackingOrderWithLayerAndOwner) {
    const auto window = [](std::uint64_t id, std::uint32_t stacking, bool normal, std::int32_t pid) {
        ShellWindow w;
        w.id = id;
        w.title = "t" + std::to_string(id);
        w.stacking = stacking;
        w.normal = normal;
        w.processID = pid;
        w.frame = platform::Rect{10, 20, 100, 50};
        w.buffer = w.frame;
        return w;
    };
    platform::gnome::WindowIds ids;
    // Meta's ids are 64-bit; the records' are handed out for them and kept.
    const std::uint64_t big = std::uint64_t{1} << 40;
    auto unsized = window(3, 1, true, 44);
    unsized.frame = platform::Rect{};
    const auto records = platform::gnome::recordsOf(
        {window(big, 7, true, 42), window(5, 2, false, 0), unsized, window(9, 4, true, 43)}, ids);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(*records[0]->title, "t5");
    EXPECT_EQ(*records[1]->title, "t9");
    EXPECT_EQ(*records[2]->title, "t" + std::to_string(big));
    EXPECT_NE(records[0]->windowLayer, 0);
    EXPECT_FALSE(records[0]->owningApplication);
    EXPECT_EQ(records[2]->windowLayer, 0);
    ASSERT_TRUE(records[2]->owningApplication);
    EXPECT_EQ(records[2]->owningApplication->processID, 42);
    EXPECT_EQ(records[2]->frame.width, 100);
    EXPECT_EQ(ids.keyOf(records[2]->windowID), big);
    const auto again = platform::gnome::recordsOf({window(9, 0, true, 43)}, ids);
    EXPECT_EQ(again[0]->windowID, records[1]->windowID);
    EXPECT_FALSE(ids.keyOf(0));
}

TEST(GnomeRecords, TheExtensionsAnswerIsReadWhole) {
    GVariant* reply = g_variant_ref_sink(g_variant_new_parsed(
        "([(uint64 4294967302, 'Kestrova Output | Uno', 77, (10, 20, 320, 240), (-14, -2, 368, 289), true, "
        "uint32 3), (uint64 5, 'Kestrova Output | Dos', 0, (0, 0, 0, 0), (0, 0, 0, 0), false, uint32 0)],)"));
    const auto windows = platform::gnome::shellWindowsOf(reply);
    g_variant_unref(reply);
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[0].id, 4294967302u);
    EXPECT_EQ(windows[0].title, "Kestrova Output | Uno");
    EXPECT_EQ(windows[0].processID, 77);
    EXPECT_EQ(windows[0].frame.x, 10);
    EXPECT_EQ(windows[0].buffer.x, -14);
    EXPECT_EQ(windows[0].buffer.height, 289);
    EXPECT_TRUE(windows[0].normal);
    EXPECT_EQ(windows[0].stacking, 3u);
    EXPECT_TRUE(windows[0].sized());
    EXPECT_FALSE(windows[1].sized());
    EXPECT_FALSE(windows[1].normal);
}

}  // namespace
