#pragma once

// A frame-server device that records every request the shared-video sink makes, with failure points the test
// chooses. Safe to use from the frame queue while the test reads the record on the main thread.

#include "EventLog.hpp"
#include "FrameServer.hpp"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace kestrova::platform::scripted {

struct FrameServerScript {
    bool noDevice = false;
    bool noQueue = false;
    int cacheStatus = 0;
    std::atomic<int> textureStatus{0};
    std::atomic<bool> noWrapper{false};
    std::atomic<bool> noTexture{false};
    std::atomic<bool> noCommandBuffer{false};
};

class FrameServerRecord {
public:
    FrameServerScript script;

    void add(std::string event) { log_.add(std::move(event)); }
    std::vector<std::string> events() const { return log_.events(); }
    void clear();
    // Frames published since the last clear, and how many of them came after the server's stop.
    int published() const { return published_; }
    int publishedAfterStop() const { return publishedAfterStop_; }
    void notePublished();
    void noteStopped() { stopped_ = true; }

private:
    EventLog log_;
    std::atomic<int> published_{0};
    std::atomic<int> publishedAfterStop_{0};
    std::atomic<bool> stopped_{false};
};

// Makes recording devices (or none, as the script says), all writing to one record.
class ScriptedFrameServer {
public:
    ScriptedFrameServer();
    ScriptedFrameServer(const ScriptedFrameServer&) = delete;
    ScriptedFrameServer& operator=(const ScriptedFrameServer&) = delete;

    // A factory of this server's devices; it keeps the record alive.
    DeviceFactory deviceFactory() const;

    FrameServerRecord& record() { return *record_; }
    FrameServerScript& script() { return record_->script; }

private:
    std::shared_ptr<FrameServerRecord> record_;
};

}  // namespace kestrova::platform::scripted
