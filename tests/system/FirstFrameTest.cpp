// The first picture reaches consumers however they come: every start of the program publishes its first frame,
// and a consumer that waits for the source before any window exists gets the window's picture once it appears.

#include "BridgeDesktop.hpp"
#include "ProgramPaths.hpp"

namespace {

using namespace kestrova::testing;

const auto kTransmitting = menuWith("Transmitiendo como Kestrova Bridge", {"[x] " + kPrefix + "Uno"});
// Starts in a row: one start in ten once left the source without a first frame.
constexpr int kStarts = 12;

using FirstFrame = BridgeDesktop;

TEST_F(FirstFrame, EveryStartPublishesItsFirstFrame) {
    startWatcher();
    startCompanion();
    companionDone("open Uno 320 240");
    for (int start = 1; start <= kStarts; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        startBridge();
        ASSERT_EQ(waitForMenu(kTransmitting), kTransmitting);
        const auto received =
            runProgram({kestrova::testing::paths::receive, "--frames", "3", "--timeout", "15", "--check-counter"}, 30s);
        EXPECT_EQ(received.status, 0) << received.out << received.err;
        EXPECT_NE(received.out.find("3 de 640x480"), std::string::npos) << received.out;
        bridge_->signal(SIGTERM);
        ASSERT_EQ(bridge_->wait(kBound), 0);
        bridge_.reset();
    }
}

TEST_F(FirstFrame, AConsumerWaitingBeforeAnyWindowGetsThePictureAtItsSize) {
    startWatcher();
    startCompanion();
    startBridge();
    const auto searching = menuWith("Buscando pantallas Kestrova", {});
    ASSERT_EQ(waitForMenu(searching), searching);
    // There is no picture yet, so there is nothing to receive: no size is offered that the window would not have.
    ChildProcess consumer({kestrova::testing::paths::receive, "--frames", "10", "--timeout", "30", "--check-counter"});
    companion("open Uno 320 240");
    ASSERT_EQ(waitForMenu(kTransmitting), kTransmitting);
    ASSERT_EQ(consumer.wait(40s), 0) << consumer.stdoutText() << consumer.stderrText();
    EXPECT_NE(consumer.stdoutText().find("10 de 640x480"), std::string::npos) << consumer.stdoutText();
    ASSERT_TRUE(client_->clickLabel(item(), "Salir"));
    EXPECT_EQ(bridge_->wait(kBound), 0);
}

}  // namespace
