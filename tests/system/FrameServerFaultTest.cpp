// The program against a PipeWire daemon that refuses its node, hangs, or is killed and started again: the status
// line tells the truth, the menu keeps answering, and publishing resumes.

#include "BridgeDesktop.hpp"
#include "PipeWireTestSupport.hpp"
#include "WaitUntil.hpp"
#include "ProgramPaths.hpp"

namespace {

using namespace kestrova::testing;
using FrameServerFaults = BridgeDesktop;

const std::string kTransmitting = "Transmitiendo como Kestrova Bridge";

// The program on the tray's bus, reaching the given daemon.
std::unique_ptr<ChildProcess> bridgeOn(const PrivateSessionBus& bus, const PrivatePipeWire& pipewire) {
    auto options = pipewire.clientOptions();
    options.environment["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    return std::make_unique<ChildProcess>(std::vector<std::string>{kestrova::testing::paths::bridge}, options);
}

// kestrova-receive on that daemon: frames of the companion's moving counter at twice the window's size.
RunResult receiveFrom(const PrivatePipeWire& pipewire) {
    return runProgram({kestrova::testing::paths::receive, "--frames", "10", "--timeout", "15", "--check-counter"}, 30s,
                      pipewire.clientOptions());
}

TEST_F(FrameServerFaults, ADaemonThatRefusesTheNodeLeavesTheWindowCapturedWithoutSyphon) {
    PrivatePipeWire pipewire(PrivatePipeWire::Kind::RefusingNodes);
    ASSERT_TRUE(pipewire.ready());
    startWatcher();
    startCompanion();
    companion("open Uno");
    bridge_ = bridgeOn(bus_, pipewire);
    const auto named = menuWith("Capturando " + kPrefix + "Uno; falta Syphon", {"[x] " + kPrefix + "Uno"});
    EXPECT_EQ(waitForMenu(named), named);
    ASSERT_TRUE(client_->clickLabel(item(), "Salir"));
    EXPECT_EQ(bridge_->wait(kBound), 0);
}

TEST_F(FrameServerFaults, AHungDaemonLeavesTheMenuAnsweringAndARestartedOneGetsFramesAgain) {
    PrivatePipeWire pipewire;
    ASSERT_TRUE(pipewire.ready());
    startWatcher();
    startCompanion();
    companion("open Uno 320 240");
    bridge_ = bridgeOn(bus_, pipewire);
    const auto transmitting = menuWith(kTransmitting, {"[x] " + kPrefix + "Uno"});
    ASSERT_EQ(waitForMenu(transmitting), transmitting);
    auto received = receiveFrom(pipewire);
    ASSERT_EQ(received.status, 0) << received.err;

    // The daemon stopped while the companion keeps changing: read after read of the menu, over a couple of
    // seconds' worth of frames and of the program's once-a-second window listings, is answered by the program's
    // main thread, and in good time (a thread held up by the daemon would run out the bound).
    pipewire.pauseDaemon(true);
    constexpr int kReads = 150;
    int answered = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto menu = client_->readMenu(item());
            if (!menu || shown(*menu) != transmitting) return true;  // ends the wait; checked below
            return ++answered >= kReads;
        },
        kBound));
    const auto menu = client_->readMenu(item());
    ASSERT_TRUE(menu) << "the menu went unanswered while the daemon was stopped";
    EXPECT_EQ(shown(*menu), transmitting);
    EXPECT_EQ(answered, kReads);
    pipewire.pauseDaemon(false);
    received = receiveFrom(pipewire);
    EXPECT_EQ(received.status, 0) << received.err;
    EXPECT_NE(received.out.find("10 de 640x480"), std::string::npos) << received.out;

    // Killed and started again: the node comes back and the status line never changed.
    ASSERT_TRUE(pipewire.restart());
    received = receiveFrom(pipewire);
    EXPECT_EQ(received.status, 0) << received.err;
    EXPECT_EQ(waitForMenu(transmitting), transmitting);
    ASSERT_TRUE(client_->clickLabel(item(), "Salir"));
    EXPECT_EQ(bridge_->wait(kBound), 0);
}

}  // namespace
