#pragma once

// What the capture benchmark connects to the paths it measures: a consumer of the bridge's node that notes when each
// frame arrives, peer programs run as children (GStreamer's pipewiresrc among them, receiving a peer's node), and a
// window that never changes.

#include "FrameReceiver.hpp"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// A child process, started at once, stopped (SIGINT, then waited for, killed when it does not end) on destruction.
// Its standard output goes to the given descriptor, else nowhere.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv, int output = -1);
    ~Child() { stop(); }
    pid_t pid() const { return pid_; }
    // Waits for its end, killing it when the bound passes first; its CPU in ms, -1 when it failed or was killed.
    double wait(std::chrono::milliseconds bound);
    void stop();

private:
    pid_t pid_ = -1;
};

// Whether a node of that name is listed and offers a format within the bound. A consumer that names a node not yet
// there is dropped; one that links to a GStreamer node before it offers a format gets no frames.
bool nodeOffersFormat(const std::string& name, std::chrono::milliseconds bound);

// GStreamer's pipewiresrc receiving the named node in a child process, counting the frames its sink reports.
class GstConsumer {
public:
    explicit GstConsumer(const std::string& node);
    ~GstConsumer() { stop(); }
    bool waitForFirstFrame(std::chrono::milliseconds bound) const;
    // Ends the child and reads what it printed last: the frames it received.
    std::size_t stop();
    // Its CPU in ms since its first frame came, as the bridge's consumer is counted once connected; -1 before that
    // or once stopped.
    double cpuSinceFirstFrameMs() const;

private:
    void read(int output, pid_t pid);

    std::unique_ptr<Child> child_;
    std::thread reader_;
    std::atomic<std::size_t> count_{0};
    std::atomic<double> cpuAtFirstFrame_{-1};
};

// A plain window of the given size that draws nothing after it is mapped: its X id, 0 when it cannot be made.
std::uint32_t openStaticWindow(std::uint32_t width, std::uint32_t height);

}  // namespace kestrova::bench
