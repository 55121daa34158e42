#include "ScriptedSystem.hpp"

#include "BridgeConstants.hpp"

namespace {

using namespace kestrova::testing;
using kestrova::AppDelegate;
using Lines = std::vector<std::string>;

struct DelegateFixture : ::testing::Test {
    ScriptedSystem system;
    scripted::ScriptedApplication& app = *system.application;
    AppDelegate* delegate = nullptr;

    void create() { delegate = &system.createDelegate(); }
    void launch() {
        if (!delegate) create();
        delegate->applicationDidFinishLaunching();
        system.run();
    }
    // Launches with one output window already captured and running.
    void launchCapturing(std::uint32_t id, const std::string& title) {
        launch();
        system.open(id, title);
        system.answerQuery();
        system.startLastStream();
    }
    std::string status() { return system.shownTexts().at(0); }
    void quit() {
        app.terminate();
        system.run();
    }
};

TEST_F(DelegateFixture, ConstructionMakesOneStatusItemAndOneSinkAndStartsNothing) {
    create();
    EXPECT_EQ(app.statusItems().size(), 1u);
    EXPECT_EQ(system.menuCount(), 0u);
    EXPECT_FALSE(app.statusItem().scriptedButton()->title());
    EXPECT_TRUE(delegate->windows().empty());
    EXPECT_FALSE(delegate->selectedWindowID());
    EXPECT_EQ(delegate->statusText(), "Buscando pantallas Kestrova");
    EXPECT_FALSE(delegate->terminationPending());
    EXPECT_TRUE(delegate->capture()->sink()->isAvailable());
    EXPECT_EQ(system.frameServer.record().events(), (Lines{"device", "queue", "server Kestrova Bridge", "cache"}));
    system.run();
    system.loop.advance(std::chrono::seconds(5));
    EXPECT_EQ(system.log.events(), (Lines{"make status item", "set delegate"}));  // no query, no permission call
}

TEST_F(DelegateFixture, WithoutAFrameServerTheDiagnosticSinkIsTheOnlySink) {
    system.frameServer.script().noDevice = true;
    create();
    const auto& sink = delegate->capture()->sink();
    EXPECT_FALSE(sink->isAvailable());
    EXPECT_EQ(sink->name(), "Captura activa; Syphon no está enlazado");
    EXPECT_NE(std::dynamic_pointer_cast<kestrova::DiagnosticFrameSink>(sink), nullptr);
    EXPECT_EQ(system.frameServer.record().events(), Lines{"device"});
    EXPECT_EQ(delegate->statusText(), "Buscando pantallas Kestrova");
}

TEST(LaunchTest, AsksPermissionOnlyWhenMissingStartsDiscoveryAndShowsTheFirstMenu) {
    for (const bool granted : {true, false}) {
        SCOPED_TRACE(granted ? "granted" : "missing");
        ScriptedSystem system;
        system.application->permissionGranted = granted;
        system.createDelegate().applicationDidFinishLaunching();
        system.run();
        Lines expected{"make status item", "set delegate", "preflight permission"};
        if (!granted) expected.push_back("request permission");
        expected.push_back("query without desktop, all windows");
        EXPECT_EQ(system.log.events(), expected);
        EXPECT_EQ(system.application->statusItem().scriptedButton()->title(), "Kestrova");
        EXPECT_EQ(system.menuCount(), 1u);
        EXPECT_EQ(system.shownTexts(), (Lines{statusLine("Buscando pantallas Kestrova"), kSeparator, kPlaceholder,
                                              kSeparator, kPermissionEntry, kQuitEntry}));
    }
}

TEST_F(DelegateFixture, StatusItemWithoutButtonIsLeftUntitled) {
    app.statusItemsHaveButtons = false;
    launch();
    EXPECT_EQ(app.statusItem().button(), nullptr);
    EXPECT_EQ(system.menuCount(), 1u);
}

TEST_F(DelegateFixture, MenuShowsWindowsInListOrderCheckedByIdentifier) {
    launch();
    // Same titles twice, the largest and the smallest identifier: the check mark follows the identifier only.
    system.open(4294967295u, "Kestrova Output | Doble");
    system.open(0, "Kestrova Output | Doble");
    system.open(12, "Kestrova Output | 10");
    system.open(11, "Kestrova Output | 9");
    system.answerQuery();
    EXPECT_EQ(system.shownTexts(),
              (Lines{statusLine("Elegí una pantalla"), kSeparator, windowEntry("Kestrova Output | 9", 11, false),
                     windowEntry("Kestrova Output | 10", 12, false), windowEntry("Kestrova Output | Doble", 0, false),
                     windowEntry("Kestrova Output | Doble", 4294967295u, false), kSeparator, kPermissionEntry,
                     kQuitEntry}));
    // Every targeted entry reaches this delegate; the user's choice reads the identifier back unchanged.
    const auto& entries = app.statusItem().shownMenu()->entries;
    const auto& last = std::get<platform::MenuItem>(entries[5]);
    EXPECT_EQ(last.target.lock(), std::static_pointer_cast<platform::MenuTarget>(system.delegate));
    app.choose(last);
    system.run();
    EXPECT_EQ(delegate->selectedWindowID(), 4294967295u);
    EXPECT_EQ(system.shownTexts()[5], windowEntry("Kestrova Output | Doble", 4294967295u, true));
    EXPECT_EQ(system.shownTexts()[4], windowEntry("Kestrova Output | Doble", 0, false));
}

TEST(TransmissionStatusTest, NamesTheWindowOnlyWithoutFrameServer) {
    auto titled = std::make_shared<platform::WindowRecord>();
    titled->title = "Kestrova Output | Uno";
    const kestrova::DiscoveredWindow untitled{std::make_shared<platform::WindowRecord>()};
    {
        ScriptedSystem system;
        auto delegate = AppDelegate::create(system.providers());
        EXPECT_EQ(delegate->transmissionStatus({titled}), "Transmitiendo como Kestrova Bridge");
    }
    {
        ScriptedSystem system;
        system.frameServer.script().noDevice = true;
        auto delegate = AppDelegate::create(system.providers());
        EXPECT_EQ(delegate->transmissionStatus({titled}), "Capturando Kestrova Output | Uno; falta Syphon");
        EXPECT_EQ(delegate->transmissionStatus(untitled), "Capturando Kestrova Output; falta Syphon");
    }
}

// Each accepted list: the decision, the capture requests it makes, the status line, and exactly one rebuild.
TEST_F(DelegateFixture, ReconciliationFollowsTheDecisionWithOneRebuildPerList) {
    system.frameServer.script().noDevice = true;  // the status line then names the window
    launch();
    const auto& bridge = delegate->capture();
    struct Step {
        const char* what;
        std::function<void()> change;
        std::string status;
        std::optional<std::uint32_t> selected;
        std::int64_t captureRequests;  // capture and stop calls the step makes
    };
    const std::vector<Step> steps{
        {"one window while nothing is selected: stop, then capture it",
         [&] { system.open(7, "Kestrova Output | A"); }, "Capturando Kestrova Output | A; falta Syphon", 7, 2},
        {"a second window: the selection stays, no request", [&] { system.open(8, "Kestrova Output | B"); },
         "Capturando Kestrova Output | A; falta Syphon", 7, 0},
        {"the selected window retitled: the status line follows", [&] { system.retitle(7, "Kestrova Output | A2"); },
         "Capturando Kestrova Output | A2; falta Syphon", 7, 0},
        {"the selected window gone, one other left: it is selected",
         [&] { system.close(7); }, "Capturando Kestrova Output | B; falta Syphon", 8, 2},
        {"two windows, the selected one gone: nothing chosen",
         [&] {
             system.close(8);
             system.open(9, "Kestrova Output | C");
             system.open(10, "Kestrova Output | D");
         },
         "Elegí una pantalla", std::nullopt, 1},
        {"no windows", [&] {
             system.close(9);
             system.close(10);
         },
         "Sin pantallas Kestrova", std::nullopt, 1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        const auto menus = system.menuCount();
        const auto generation = bridge->generation();
        system.answerQuery();
        EXPECT_EQ(system.menuCount(), menus + 1);
        EXPECT_EQ(delegate->statusText(), step.status);
        EXPECT_EQ(status(), statusLine(step.status));
        EXPECT_EQ(delegate->selectedWindowID(), step.selected);
        EXPECT_EQ(bridge->generation() - generation, step.captureRequests);
        system.releaseEverything();
    }
}

TEST_F(DelegateFixture, AnAutoSelectedWindowIsCapturedAfterTheStopRequest) {
    launchCapturing(7, "Kestrova Output | A");
    system.close(7);
    system.open(8, "Kestrova Output | B");
    system.answerQuery();
    // The stop of A and the capture of B both ask A to stop; B is made only once A has stopped.
    EXPECT_EQ(system.lastStream()->name(), "Kestrova Output | A");
    system.releaseEverything();
    EXPECT_EQ(system.lastStream()->name(), "Kestrova Output | B");
    EXPECT_TRUE(system.lastStream()->running());
    EXPECT_FALSE(system.screen->streams().front()->running());
}

TEST_F(DelegateFixture, ChoosingAWindowActsOnTheListAsItIsNow) {
    launch();
    system.open(7, "Kestrova Output | A");
    system.open(8, "Kestrova Output | B");
    system.answerQuery();
    const auto shown = *app.statusItem().shownMenu();
    const auto entryOf = [&](std::size_t i) { return std::get<platform::MenuItem>(shown.entries[i]); };

    app.choose(entryOf(3));  // B
    system.run();
    EXPECT_EQ(delegate->selectedWindowID(), 8u);
    EXPECT_EQ(status(), statusLine("Transmitiendo como Kestrova Bridge"));
    const auto generation = delegate->capture()->generation();
    const auto menus = system.menuCount();

    app.choose(entryOf(3));  // B again: a new capture request restarts it
    EXPECT_EQ(delegate->capture()->generation(), generation + 1);
    EXPECT_EQ(system.menuCount(), menus + 1);

    // Entries that no longer match a listed window, or carry no number, change nothing.
    system.close(7);
    system.answerQuery();
    const auto settled = system.menuCount();
    app.choose(entryOf(2));  // A, from the old menu
    auto notANumber = entryOf(3);
    notANumber.representedObject = std::string("8");
    app.choose(notANumber);
    auto none = entryOf(3);
    none.representedObject = std::monostate{};
    app.choose(none);
    EXPECT_EQ(system.menuCount(), settled);
    EXPECT_EQ(delegate->selectedWindowID(), 8u);
}

TEST_F(DelegateFixture, PermissionEntryOpensTheSettingsAndChangesNothingElse) {
    launch();
    for (const bool opens : {true, false}) {
        app.openingSucceeds = opens;
        const auto menus = system.menuCount();
        ASSERT_TRUE(app.choose("Permiso de grabaci\u00f3n de pantalla\u2026"));
        EXPECT_EQ(app.openedAddresses().back(), kestrova::constants::kScreenRecordingSettingsURL);
        EXPECT_EQ(system.menuCount(), menus);
        EXPECT_EQ(delegate->statusText(), "Buscando pantallas Kestrova");
    }
}

TEST_F(DelegateFixture, ErrorsReachTheStatusLineDiscoveryErrorsNotWhileTerminating) {
    launchCapturing(7, "Kestrova Output | A");
    system.failQuery("sin acceso a las ventanas");
    EXPECT_EQ(status(), statusLine("Error de captura: sin acceso a las ventanas"));
    system.lastStream()->stopWithError(platform::Error("la ventana se cerró"), scripted::On::otherThread);
    system.run();
    EXPECT_EQ(status(), statusLine("Error: la ventana se cerró"));
    EXPECT_EQ(delegate->selectedWindowID(), 7u);  // the selection stays

    quit();
    const auto menus = system.menuCount();
    // Discovery was stopped, but a query already under way may still answer: its error is ignored.
    system.failQuery("tarde");
    EXPECT_EQ(system.menuCount(), menus);
    // Capture errors are still shown while terminating.
    system.lastStream()->stopWithError(platform::Error("perdida"));
    system.run();
    EXPECT_EQ(status(), statusLine("Error: perdida"));
}

TEST_F(DelegateFixture, ListsAreIgnoredWhileTerminating) {
    launchCapturing(7, "Kestrova Output | A");
    quit();
    const auto menus = system.menuCount();
    system.close(7);
    system.answerQuery();  // the query that was outstanding when the quit began
    EXPECT_EQ(system.menuCount(), menus);
    EXPECT_EQ(delegate->windows().size(), 1u);
    EXPECT_EQ(delegate->selectedWindowID(), 7u);
    EXPECT_EQ(system.screen->pendingQueries(), 0u);  // and no new cycle begins
    system.loop.advance(std::chrono::seconds(3));
    system.run();
    EXPECT_EQ(system.screen->pendingQueries(), 0u);
}

TEST_F(DelegateFixture, TwoQuitRequestsMakeOneShutdownAndOneReply) {
    launchCapturing(7, "Kestrova Output | A");
    quit();
    quit();
    EXPECT_EQ(app.terminateAnswers(),
              (std::vector<platform::TerminateReply>{platform::TerminateReply::later, platform::TerminateReply::later}));
    EXPECT_EQ(system.lastStream()->pendingStops(), 1u);
    const auto menus = system.menuCount();
    system.lastStream()->releaseStop();
    EXPECT_TRUE(system.runUntil([&] { return !app.replies().empty(); }));
    EXPECT_EQ(app.replies(), std::vector<bool>{true});
    EXPECT_TRUE(delegate->terminationPending());
    EXPECT_EQ(system.menuCount(), menus);  // a successful quit changes nothing before the reply
    const auto events = system.frameServer.record().events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "stop"), 1);
}

TEST_F(DelegateFixture, FailedShutdownCancelsTheQuitAndALaterQuitRunsAgain) {
    launchCapturing(7, "Kestrova Output | A");
    quit();
    const auto queries = system.screen->queryCount();
    system.lastStream()->releaseStop(platform::Error("atascado"));
    system.run();
    EXPECT_EQ(app.replies(), std::vector<bool>{false});
    EXPECT_FALSE(delegate->terminationPending());
    EXPECT_EQ(status(), statusLine("No se pudo detener la captura"));
    EXPECT_EQ(delegate->selectedWindowID(), 7u);
    // Discovery polls again with a fresh task; the query of the stopped one is answered but discarded.
    EXPECT_EQ(system.screen->queryCount(), queries + 1);
    const auto menus = system.menuCount();
    system.close(7);
    system.answerQuery();
    EXPECT_EQ(system.menuCount(), menus);
    system.open(7, "Kestrova Output | A");
    system.answerQuery();  // the same list as before the quit: no report, no rebuild
    EXPECT_EQ(system.menuCount(), menus);

    quit();
    system.lastStream()->releaseStop();
    EXPECT_TRUE(system.runUntil([&] { return app.replies().size() == 2; }));
    EXPECT_EQ(app.replies(), (std::vector<bool>{false, true}));
}

}  // namespace
