// The road of one output window through the whole program, on the scripted platform: the companion opens it, the
// bridge finds it, selects it, captures it at twice its size, publishes its frames, and ends when the user quits.
// Read from top to bottom, it is the shortest description of what the program does.

#include "ScriptedSystem.hpp"

namespace {

using namespace kestrova::testing;

TEST(Walkthrough, OneOutputWindowFromDiscoveryToPublishedFramesAndQuit) {
    ScriptedSystem system;
    auto& app = *system.application;

    app.whileRunning = [&] {
        // Launching has finished: the one status item is titled, discovery asks for the windows, and the first
        // menu says the bridge is looking.
        ASSERT_EQ(app.statusItems().size(), 1u);
        EXPECT_EQ(app.statusItem().scriptedButton()->title(), "Kestrova");
        EXPECT_EQ(system.shownTexts(), (std::vector<std::string>{statusLine("Buscando pantallas Kestrova"),
                                                                 kSeparator, kPlaceholder, kSeparator,
                                                                 kPermissionEntry, kQuitEntry}));

        // The companion opens one output window (and an unrelated one). The next poll finds only the output, and
        // since it is the only one it is selected and captured without asking.
        system.open(7, "Kestrova Output | Escenario", 640, 360);
        system.open(8, "Terminal");
        system.answerQuery();
        EXPECT_EQ(system.shownTexts(),
                  (std::vector<std::string>{statusLine("Transmitiendo como Kestrova Bridge"), kSeparator,
                                            windowEntry("Kestrova Output | Escenario", 7, true), kSeparator,
                                            kPermissionEntry, kQuitEntry}));

        // The capture service is asked for a stream of that window at twice its size, 60 frames a second at most.
        auto stream = system.lastStream();
        ASSERT_TRUE(stream);
        EXPECT_EQ(stream->window()->windowID, 7u);
        EXPECT_EQ(stream->configuration().width(), 1280);
        EXPECT_EQ(stream->configuration().height(), 720);
        EXPECT_EQ(stream->configuration().minimumFrameInterval().timescale, 60);
        system.startLastStream();

        // Frames flow: each complete frame is published, whole and unflipped, under the name "Kestrova Bridge".
        for (int i = 0; i < 3; ++i) {
            stream->deliver(scripted::completeSample(platform::PixelBuffer::create(1280, 720)));
        }
        stream->waitForDeliveries();
        EXPECT_EQ(system.frameServer.record().published(), 3);
        EXPECT_EQ(system.frameServer.record().events().at(2), "server Kestrova Bridge");
        EXPECT_EQ(system.frameServer.record().events().back(), "commit");

        // Later polls that see the same windows change nothing: the menu is not rebuilt.
        const auto menus = system.menuCount();
        system.answerQuery();
        EXPECT_EQ(system.menuCount(), menus);

        // The user chooses "Salir". The program answers "later", stops the stream, lets the queued frames finish,
        // stops the server, and only then lets the application end.
        ASSERT_TRUE(app.choose("Salir"));
        EXPECT_EQ(app.terminateAnswers(), std::vector<platform::TerminateReply>{platform::TerminateReply::later});
        EXPECT_TRUE(app.replies().empty());
        system.run();
        EXPECT_EQ(stream->pendingStops(), 1u);
        stream->releaseStop();
        EXPECT_TRUE(system.runUntil([&] { return app.terminated(); }));
        EXPECT_EQ(app.replies(), std::vector<bool>{true});
        EXPECT_EQ(system.frameServer.record().events().back(), "stop");
    };

    // The normal start-up: the delegate is made (with its status item), installed, the program becomes an
    // accessory (no windows, no taskbar entry), and the event loop runs until the quit.
    EXPECT_EQ(kestrova::runApplication(system.providers()), 0);
    const auto events = system.log.events();
    ASSERT_GE(events.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 5),
              (std::vector<std::string>{"make status item", "set delegate", "activation policy 1", "run",
                                        "preflight permission"}));
}

}  // namespace
