// How long the node takes to be listed again after PipeWire and WirePlumber are killed (SIGKILL) and started
// again, over five rounds on a private daemon: each round's time from the kill to the node being listed, and the
// median.

#include "pipewire/PipeWireFrameServer.hpp"
#include "PipeWireTestSupport.hpp"
#include "SinkOf.hpp"
#include "SyphonFrameSink.hpp"
#include "WaitUntil.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRounds = 5;
constexpr auto kBound = std::chrono::seconds(20);
const std::string kNodeName = "Kestrova Bridge";

bool listed() { return kestrova::testing::nodeNamed(kNodeName).has_value(); }

}  // namespace

int main() {
    using Clock = std::chrono::steady_clock;
    kestrova::testing::PrivatePipeWire pipewire;
    if (!pipewire.ready()) {
        std::fputs("reconnect_bench: the private PipeWire did not start\n", stderr);
        return 1;
    }
    kestrova::testing::ScopedEnvironment environment(pipewire.clientEnvironment());
    kestrova::platform::pipewire::PipeWireFrameServer frameServer(kNodeName);
    auto sink = kestrova::testing::sinkOf(frameServer);
    if (!sink || !kestrova::testing::waitUntil(listed, kBound)) {
        std::fputs("reconnect_bench: the node was not made\n", stderr);
        return 1;
    }
    std::vector<double> times;
    std::printf("round  kill→listed (ms)\n");
    for (int round = 1; round <= kRounds; ++round) {
        const auto killed = Clock::now();
        if (!pipewire.restart() || !kestrova::testing::waitUntil(listed, kBound, std::chrono::milliseconds(5))) {
            std::fprintf(stderr, "reconnect_bench: round %d: the node did not come back\n", round);
            return 1;
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - killed).count());
        std::printf("%5d  %8.0f\n", round, times.back());
    }
    std::nth_element(times.begin(), times.begin() + kRounds / 2, times.end());
    std::printf("median %7.0f\n", times[kRounds / 2]);
    sink->stop();
    return 0;
}
