// The status item as a panel sees it: the probe program runs on the X server of the test run with a session bus
// of the test's own, and the sni-watcher stands for the panel.

#include "ChildProcess.hpp"
#include "PrivateSessionBus.hpp"
#include "SniClient.hpp"
#include "WaitUntil.hpp"
#include "ProgramPaths.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using kestrova::testing::ChildProcess;
using kestrova::testing::ExportedMenu;
using kestrova::testing::ExportedMenuEntry;
using kestrova::testing::PrivateSessionBus;
using kestrova::testing::SniClient;
using kestrova::testing::StatusItemAddress;

namespace {

constexpr auto kBound = 15s;

// What the probe's first menu must look like to a host, entry by entry.
struct Expected {
    bool separator;
    std::string label;
    bool enabled;
    std::string toggleType;
    int toggleState;
    std::vector<std::vector<std::string>> shortcut;
};

const std::vector<Expected> kFirstMenu = {
    {false, "Buscando pantallas Kestrova", false, "", -1, {}},
    {true, "", true, "", -1, {}},
    {false, "Kestrova Output | Luz & Sombra", true, "checkmark", 0, {}},
    {false, "Kestrova Output | Ancho", true, "checkmark", 0, {}},
    {true, "", true, "", -1, {}},
    {false, "Permiso de grabación de pantalla\u2026", true, "", -1, {}},
    {false, "Salir", true, "", -1, {{"Control", "Q"}}},
};

void expectMenu(const ExportedMenu& menu, const std::vector<Expected>& expected) {
    ASSERT_EQ(menu.size(), expected.size());
    for (std::size_t i = 0; i < menu.size(); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(menu[i].separator, expected[i].separator);
        EXPECT_TRUE(menu[i].visible);
        if (expected[i].separator) continue;
        EXPECT_EQ(menu[i].label, expected[i].label);
        EXPECT_EQ(menu[i].enabled, expected[i].enabled);
        EXPECT_EQ(menu[i].toggleType, expected[i].toggleType);
        EXPECT_EQ(menu[i].toggleState, expected[i].toggleState);
        EXPECT_EQ(menu[i].shortcut, expected[i].shortcut);
    }
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// Waits until the process has printed the part more often than it had before.
bool waitForAnotherLine(const ChildProcess& process, const std::string& part, std::size_t before,
                        std::chrono::milliseconds bound) {
    return kestrova::testing::waitUntil([&] { return occurrences(process.stdoutText(), part) > before; }, bound,
                                        20ms);
}

const ExportedMenuEntry* entryLabelled(const ExportedMenu& menu, const std::string& label) {
    for (const auto& entry : menu) {
        if (!entry.separator && entry.label == label) return &entry;
    }
    return nullptr;
}

class StatusItemEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0') GTEST_SKIP() << "needs the X server of the test run";
        ASSERT_TRUE(bus_.isRunning());
        client_ = std::make_unique<SniClient>(bus_.address());
        ASSERT_TRUE(client_->isConnected());
    }

    ChildProcess::Options onPrivateBus() const {
        ChildProcess::Options options;
        options.environment = {{"DBUS_SESSION_BUS_ADDRESS", bus_.address()}, {"QT_QPA_PLATFORM", "xcb"}};
        return options;
    }

    std::unique_ptr<ChildProcess> startWatcher() {
        auto watcher = std::make_unique<ChildProcess>(std::vector<std::string>{kestrova::testing::paths::sniWatcher},
                                                      onPrivateBus());
        EXPECT_TRUE(watcher->waitForOutput("ready\n", kBound)) << watcher->stderrText();
        return watcher;
    }

    std::unique_ptr<ChildProcess> startProbe(std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(), kestrova::testing::paths::qtProbe);
        auto probe = std::make_unique<ChildProcess>(arguments, onPrivateBus());
        EXPECT_TRUE(probe->waitForOutput("launched\n", kBound)) << probe->stderrText();
        return probe;
    }

    std::optional<StatusItemAddress> itemWithFirstMenu() {
        auto item = client_->waitForItem(kBound);
        if (!item) return std::nullopt;
        const auto menu = client_->waitForMenu(*item, [](const ExportedMenu& m) { return m.size() == 7; }, kBound);
        if (!menu) return std::nullopt;
        return item;
    }

    PrivateSessionBus bus_;
    std::unique_ptr<SniClient> client_;
};

TEST_F(StatusItemEndToEnd, TheItemAppearsTitledKestrovaWithADrawnIconAndTheModelsMenu) {
    auto watcher = startWatcher();
    auto probe = startProbe();
    const auto item = itemWithFirstMenu();
    ASSERT_TRUE(item.has_value()) << probe->stderrText();
    const auto view = client_->readItem(*item);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->title, "Kestrova");
    EXPECT_EQ(view->id, "Kestrova");
    EXPECT_EQ(view->toolTipTitle, "Kestrova");
    EXPECT_EQ(view->status, "Active");
    EXPECT_GT(view->iconWidth, 0);
    EXPECT_EQ(view->iconWidth, view->iconHeight);
    EXPECT_TRUE(view->iconHasInk);
    const auto menu = client_->readMenu(*item);
    ASSERT_TRUE(menu.has_value());
    expectMenu(*menu, kFirstMenu);
    EXPECT_TRUE(watcher->waitForOutput("registered " + item->service + " " + item->path + "\n", kBound));
}

// Clicking goes through dbusmenu to the target with the entry's value; the target's new model replaces the
// exported menu, with new entry ids, and the panel is told that the layout changed.
TEST_F(StatusItemEndToEnd, ClickingAnEntryReachesTheTargetWithItsValueAndTheNewMenuIsExported) {
    auto watcher = startWatcher();
    auto probe = startProbe();
    const auto item = itemWithFirstMenu();
    ASSERT_TRUE(item.has_value()) << probe->stderrText();
    const auto before = client_->readMenu(*item);
    ASSERT_TRUE(before.has_value());
    const std::string layoutUpdated = "layout-updated " + item->service + " ";
    const std::size_t updatesBefore = occurrences(watcher->stdoutText(), layoutUpdated);

    ASSERT_TRUE(client_->clickLabel(*item, "Kestrova Output | Ancho"));
    EXPECT_TRUE(probe->waitForOutput("selected 4294967295\n", kBound));
    EXPECT_TRUE(waitForAnotherLine(*watcher, layoutUpdated, updatesBefore, kBound)) << watcher->stdoutText();
    const auto after = client_->waitForMenu(
        *item, [](const ExportedMenu& m) { return !m.empty() && m.front().label == "Elegida 4294967295"; }, kBound);
    ASSERT_TRUE(after.has_value());
    ASSERT_EQ(after->size(), kFirstMenu.size());
    EXPECT_EQ(after->front().label, "Elegida 4294967295");
    const auto* chosen = entryLabelled(*after, "Kestrova Output | Ancho");
    const auto* other = entryLabelled(*after, "Kestrova Output | Luz & Sombra");
    ASSERT_NE(chosen, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(chosen->toggleState, 1);
    EXPECT_EQ(other->toggleState, 0);
    EXPECT_NE(after->front().id, before->front().id);

    ASSERT_TRUE(client_->clickLabel(*item, "Kestrova Output | Luz & Sombra"));
    EXPECT_TRUE(probe->waitForOutput("selected 7\n", kBound));
    ASSERT_TRUE(client_->clickLabel(*item, "Permiso de grabación de pantalla\u2026"));
    EXPECT_TRUE(probe->waitForOutput("settings\n", kBound));
    EXPECT_TRUE(probe->running());
}

// A panel that starts after the program (a login's autostart) still gets the item.
TEST_F(StatusItemEndToEnd, AWatcherThatAppearsAfterTheProgramStillGetsTheItem) {
    auto probe = startProbe();
    EXPECT_TRUE(client_->registeredItems().empty());
    EXPECT_TRUE(probe->running());
    auto watcher = startWatcher();
    const auto item = itemWithFirstMenu();
    ASSERT_TRUE(item.has_value()) << probe->stderrText();
    const auto view = client_->readItem(*item);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->title, "Kestrova");
    expectMenu(*client_->readMenu(*item), kFirstMenu);
}

TEST_F(StatusItemEndToEnd, ARestartedWatcherGetsTheItemAgain) {
    auto watcher = startWatcher();
    auto probe = startProbe();
    ASSERT_TRUE(itemWithFirstMenu().has_value()) << probe->stderrText();
    watcher.reset();
    watcher = startWatcher();
    const auto item = itemWithFirstMenu();
    ASSERT_TRUE(item.has_value()) << probe->stderrText();
    expectMenu(*client_->readMenu(*item), kFirstMenu);
}

TEST_F(StatusItemEndToEnd, SalirEndsTheProgramWithStatusZeroAfterTheDeferredReply) {
    auto watcher = startWatcher();
    auto probe = startProbe();
    const auto item = itemWithFirstMenu();
    ASSERT_TRUE(item.has_value()) << probe->stderrText();
    ASSERT_TRUE(client_->clickLabel(*item, "Salir"));
    EXPECT_EQ(probe->wait(kBound), 0) << probe->stderrText();
    EXPECT_EQ(probe->stdoutText(), "launched\nterminate requested\n");
    EXPECT_TRUE(watcher->waitForOutput("unregistered " + item->service + " " + item->path + "\n", kBound));
}

// A quit signal goes through the delegate like "Salir": refused, the program keeps serving its menu; agreed, it
// ends with status 0.
class QuitSignalEndToEnd : public StatusItemEndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(QuitSignalEndToEnd, GoesThroughTheDeferredQuit) {
    auto watcher = startWatcher();
    auto probe = startProbe({"--refuse-first-quit"});
    const auto item = itemWithFirstMenu();
    ASSERT_TRUE(item.has_value()) << probe->stderrText();

    probe->signal(GetParam());
    ASSERT_TRUE(probe->waitForOutput("quit refused\n", kBound));
    EXPECT_TRUE(probe->running());
    ASSERT_TRUE(client_->clickLabel(*item, "Kestrova Output | Luz & Sombra"));
    EXPECT_TRUE(probe->waitForOutput("selected 7\n", kBound));

    probe->signal(GetParam());
    EXPECT_EQ(probe->wait(kBound), 0) << probe->stderrText();
    EXPECT_EQ(probe->stdoutText(),
              "launched\nterminate requested\nquit refused\nselected 7\nterminate requested\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, QuitSignalEndToEnd, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return std::string(info.param == SIGTERM ? "SIGTERM" : "SIGINT"); });

TEST(ProbeWithoutDesktopTest, ExitsWithOneLineOnStandardErrorInsteadOfAborting) {
    ChildProcess::Options options;
    options.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    const auto result = kestrova::testing::runProgram({kestrova::testing::paths::qtProbe}, kBound, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    ASSERT_FALSE(result.err.empty());
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
}

}  // namespace
