#pragma once

// What the PipeWire end-to-end tests share: frames whose every byte says which frame they are, a look at the
// daemon's node list, a private daemon a test may kill, and environment changes undone at the end of a test.

#include "ChildProcess.hpp"
#include "FrameReceiver.hpp"
#include "ScreenCapture.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::testing {

// A frame of the given size whose first four bytes hold its index and whose other bytes follow from the index and
// their position, so a received frame can be checked whole without knowing which one it was.
platform::PixelBufferRef patternFrame(std::uint32_t width, std::uint32_t height, std::uint32_t index);
// The index of a received frame when all its bytes match the pattern of that index; nothing otherwise.
std::optional<std::uint32_t> patternIndex(std::uint32_t width, std::uint32_t height, const std::uint8_t* pixels,
                                          std::size_t bytesPerRow);

// What a receiver saw of one frame.
struct ReceivedFrame {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::optional<std::uint32_t> index;  // nothing when the pixels were not a pattern frame
    std::uint64_t sequence = 0;
};

// Collects what a FrameReceiver hands over, checking each frame's pixels as it comes.
class FrameLog {
public:
    receive::FrameReceiver::FrameHandler handler();
    // Waits until the condition holds over the frames so far; false when the bound passed first.
    bool waitFor(const std::function<bool(const std::vector<ReceivedFrame>&)>& condition,
                 std::chrono::milliseconds bound);
    std::vector<ReceivedFrame> frames() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ReceivedFrame> frames_;
};

using FrameMaker = std::function<platform::PixelBufferRef(std::uint32_t index)>;
// Pattern frames of one size.
FrameMaker patternFrames(std::uint32_t width, std::uint32_t height);

// Publishes frames at a steady pace until the condition holds or the bound passes; returns whether it held.
// Frames are numbered from `next` on, which is left at the number of the frame that would come after.
bool publishUntil(const std::function<void(const platform::PixelBufferRef&)>& publish, const FrameMaker& makeFrame,
                  std::uint32_t& next, const std::function<bool()>& condition, std::chrono::milliseconds bound);

// Publishes frames until consumers can be linked to the node of that name: it is made once there is a picture, and
// the session manager must have taken it in, or it refuses a consumer that asks for it. Returns whether they can.
bool publishUntilLinkable(const std::function<void(const platform::PixelBufferRef&)>& publish,
                        const FrameMaker& makeFrame, std::uint32_t& next, const std::string& name,
                        std::chrono::milliseconds bound);

// The properties of every node the daemon lists; empty when no daemon answers.
std::vector<std::map<std::string, std::string>> listNodes();
// The id of the node with that name; nothing when the daemon does not list it.
std::optional<std::uint32_t> nodeIdNamed(const std::string& name);
// The properties of the node with that name; nothing when the daemon does not list it.
std::optional<std::map<std::string, std::string>> nodeNamed(const std::string& name);
// Waits until the daemon lists no node of that name: a finished test's node lingers a moment, and the next test's
// consumers must not be linked to it.
bool nodeGone(const std::string& name);
// Whether a consumer that asks for the node now is linked to it and receives a frame: the session manager refuses
// one that comes before it has taken the node in, as it does when the node is missing.
bool linkable(const std::string& name);

// Sets environment variables (or unsets them, for an empty value) and restores them on destruction.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const std::map<std::string, std::string>& values);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// A fresh empty runtime directory, removed with everything in it on destruction.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A session bus, a PipeWire daemon and its session manager on a runtime directory of their own, for a test that
// needs to kill, restart or stop the daemon. Everything is stopped by PID on destruction.
class PrivatePipeWire {
public:
    enum class Kind {
        Complete,       // a daemon and its session manager, as on a desktop
        RefusingNodes,  // a daemon that answers but cannot make a client's node, and no session manager
    };
    // The daemon and its session manager use the given session bus, or one of their own when none is given.
    explicit PrivatePipeWire(Kind kind = Kind::Complete, std::string sessionBus = {});
    ~PrivatePipeWire();
    PrivatePipeWire(const PrivatePipeWire&) = delete;
    PrivatePipeWire& operator=(const PrivatePipeWire&) = delete;

    // Whether the daemon (and the session manager) answered after the last start.
    bool ready() const { return ready_; }
    // What a client needs in its environment to reach this daemon.
    std::map<std::string, std::string> clientEnvironment() const;
    // The same for a program the test starts.
    ChildProcess::Options clientOptions() const;
    // Kills the daemon at once and waits until it is gone; true when it is.
    bool killDaemon();
    // Kills the daemon and the session manager at once, as a crash does, and starts them again on the same runtime
    // directory; true when both answer again.
    bool restart();
    // Stops (SIGSTOP) or continues (SIGCONT) the daemon, as a daemon that hangs.
    void pauseDaemon(bool paused);

private:
    void start();
    bool answers(const std::vector<std::string>& probe, std::chrono::milliseconds bound) const;

    Kind kind_;
    TemporaryDirectory runtime_;
    std::string sessionBus_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> daemon_;
    std::unique_ptr<ChildProcess> sessionManager_;
    bool ready_ = false;
};

}  // namespace kestrova::testing
