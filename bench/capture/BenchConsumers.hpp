#pragma once

// What the capture benchmark connects to the paths it measures: a consumer of the bridge's node that notes when each
// frame arrives, peer programs run as children, and a window that never changes.

#include "FrameReceiver.hpp"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrova::bench {

// Monotonic time in ns, the clock the node stamps its frames with.
std::int64_t monotonicNs();

// Receives the node's frames without reading their pixels; keeps, for each, when it was sent and when it came.
class ArrivalLog {
public:
    // Connects once the node is listed; nothing when it does not come.
    static std::unique_ptr<ArrivalLog> connect(const std::string& node);
    std::size_t count();
    // Latency percentiles in ms from the given frame deliveries (monotonic ns, ascending) to arrival: each arrival is
    // matched with the last delivery at or before the time the node sent it.
    std::vector<double> latencyPercentiles(const std::vector<std::int64_t>& delivered, std::vector<double> ranks);

private:
    std::mutex mutex_;
    std::vector<std::pair<std::int64_t, std::int64_t>> arrivals_;  // sent, arrived
    std::unique_ptr<receive::FrameReceiver> receiver_;
};

// A child process, started at once, stopped (SIGINT, then waited for) on destruction.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv);
    ~Child();
    pid_t pid() const { return pid_; }
    // Waits for its end; its CPU in ms, -1 when it failed.
    double wait();

private:
    pid_t pid_ = -1;
};

// A plain window of the given size that draws nothing after it is mapped: its X id, 0 when it cannot be made.
std::uint32_t openStaticWindow(std::uint32_t width, std::uint32_t height);

}  // namespace kestrova::bench
