// The companion's one window hidden when the program starts: selected and announced as transmitted at once, and
// its frames published as soon as it is shown, whether its client maps it again or openbox shows its desktop.

#include "BridgeDesktop.hpp"
#include "PrivateDesktop.hpp"
#include "WaitUntil.hpp"
#include "ProgramPaths.hpp"

namespace {

using namespace kestrova::testing;

const auto kTransmitting = menuWith("Transmitiendo como Kestrova Bridge", {"[x] " + kPrefix + "Uno"});

class HiddenAtStart : public BridgeDesktop {
protected:
    // Once the window is shown: a consumer gets its frames, and the status line still says it is transmitted.
    void expectTransmitted(const std::vector<std::string>& receiver) {
        // The first frames after the window is shown may be taken before its client has drawn it again; once frames
        // flow, every frame the checking consumer gets must carry the companion's picture.
        const auto flowing = runProgram({kestrova::testing::paths::receive, "--frames", "5", "--timeout", "15"}, 30s);
        ASSERT_EQ(flowing.status, 0) << flowing.out << flowing.err;
        const auto received = runProgram(receiver, 30s);
        EXPECT_NE(received.out.find("20 de 640x480"), std::string::npos) << received.out;
        EXPECT_EQ(received.status, 0) << received.out << received.err;
        const auto menu = client_->readMenu(item());
        ASSERT_TRUE(menu);
        EXPECT_EQ(shown(*menu), kTransmitting);
        bridge_->signal(SIGTERM);
        EXPECT_EQ(bridge_->wait(kBound), 0);
    }
};

TEST_F(HiddenAtStart, AWindowItsClientUnmappedIsTransmittedOnceMappedAgain) {
    startWatcher();
    startCompanion();
    companion("open Uno 320 240");
    companion("unmap Uno");
    ASSERT_TRUE(companion_->waitForOutput("ok unmap Uno", kBound));
    startBridge();
    ASSERT_EQ(waitForMenu(kTransmitting), kTransmitting);
    companion("map Uno");
    expectTransmitted({kestrova::testing::paths::receive, "--frames", "20", "--timeout", "15", "--check-counter"});
}

class HiddenOnADesktop : public HiddenAtStart {
protected:
    PrivateXServer server_;
    Openbox openbox_{server_.display()};
};

TEST_F(HiddenOnADesktop, AWindowOnAnotherOpenboxDesktopIsTransmittedOnceThatDesktopIsShown) {
    ASSERT_FALSE(server_.display().empty());
    ASSERT_TRUE(openbox_.ready()) << openbox_.errors();
    display_ = server_.display();
    startWatcher();
    startCompanion();
    companion("open Uno 320 240");
    ASSERT_TRUE(waitUntil([&] { return viewable(display_, kPrefix + "Uno"); }, kBound));
    ASSERT_TRUE(openbox_.sendToDesktop(kPrefix + "Uno", 1));
    ASSERT_TRUE(waitUntil([&] { return !viewable(display_, kPrefix + "Uno"); }, kBound));
    startBridge();
    ASSERT_EQ(waitForMenu(kTransmitting), kTransmitting);
    ASSERT_TRUE(openbox_.showDesktop(1));
    expectTransmitted({kestrova::testing::paths::receive, "--frames", "20", "--timeout", "15", "--check-counter"});
}

}  // namespace
