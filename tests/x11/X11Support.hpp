#pragma once

// Helpers of the X11 end-to-end tests: a private X server, the companion driven through its standard input, a
// connection of the test's own, blocking waits on the provider's answers, and recorders of captured frames.

#include "ChildProcess.hpp"
#include "ScreenCapture.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <xcb/xcb.h>

namespace kestrova::testing::x11 {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds kBound = 10s;

// An X server of the test's own, on a free display; killed by PID when the object goes.
class PrivateDisplay {
public:
    explicit PrivateDisplay(std::vector<std::string> extraArguments = {});
    bool started() const { return !name_.empty(); }
    const std::string& name() const { return name_; }
    void kill();

private:
    std::unique_ptr<ChildProcess> server_;
    std::string name_;
};

// The companion program. Each command waits for its one answer line.
class DemoProcess {
public:
    // Opens the named windows at start; `display` empty means the environment's.
    DemoProcess(std::vector<std::string> arguments, const std::string& display = {});
    // The answer to the command, or "" when none came within the bound.
    std::string command(const std::string& line);
    // The window opened under that name, from its "ready open" line.
    xcb_window_t window(const std::string& name) const;
    pid_t pid() const { return child_.pid(); }

private:
    std::optional<std::string> nextLine();

    ChildProcess child_;
    std::size_t answered_ = 0;
};

// A connection of the test's own.
class XClient {
public:
    explicit XClient(const std::string& display = {});
    ~XClient();
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    bool connected() const { return xcb_connection_has_error(c_) == 0; }
    xcb_connection_t* get() const { return c_; }
    xcb_window_t root() const { return screen_->root; }
    xcb_atom_t atom(const std::string& name);

    xcb_window_t createWindow(std::uint16_t width, std::uint16_t height, bool overrideRedirect = false,
                              bool inputOnly = false);
    void setText(xcb_window_t window, const std::string& property, const std::string& type, const std::string& text);
    void setAtoms(xcb_window_t window, const std::string& property, const std::vector<std::string>& values);
    void setCardinal(xcb_window_t window, const std::string& property, std::uint32_t value);
    void setRootText(const std::string& property, const std::string& text);
    xcb_window_t parentOf(xcb_window_t window);
    std::optional<std::uint32_t> wmState(xcb_window_t window);
    std::optional<xcb_window_t> supportingWmCheck();
    void sendToRoot(xcb_window_t window, const std::string& type, std::uint32_t value);
    // Waits until the server has carried out every request so far.
    void sync();

private:
    xcb_connection_t* c_;
    const xcb_screen_t* screen_ = nullptr;
};

// Waits (bounded) for the predicate, checking it every few milliseconds.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds bound = kBound);

// One answer of the service, waited for within the bound.
platform::ShareableContentAnswer query(platform::ScreenCaptureService& service, bool excludingDesktopWindows = true,
                                       bool onScreenWindowsOnly = false);
platform::Window findWindow(const platform::ShareableContentAnswer& answer, std::uint32_t id);

// The stop or start outcome of a stream request, waited for within the bound; nothing when it never came.
std::optional<std::optional<platform::Error>> startOf(platform::Stream& stream);
std::optional<std::optional<platform::Error>> stopOf(platform::Stream& stream);

// What the core asks of a stream of a window of that size in points: BGRA, twice the size, 60 fps, depth 3.
platform::StreamConfiguration doubledConfiguration(double width, double height);

// A captured frame, copied out of its buffer.
struct Frame {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t stride = 0;
    std::uint32_t pixelFormat = 0;
    std::vector<std::uint8_t> pixels;
};

// Keeps the latest frames it is given and every stop report, from any thread.
class FrameLog {
public:
    void record(const platform::PixelBuffer& buffer);
    void recordStop(const platform::Error& error);
    bool waitForFrames(std::size_t total, std::chrono::milliseconds bound = kBound);
    bool waitForStop(std::chrono::milliseconds bound = kBound);
    // Waits for a frame, received after `after` frames, that satisfies the check.
    bool waitForFrame(std::size_t after, const std::function<bool(const Frame&)>& check,
                      std::chrono::milliseconds bound = kBound);
    std::size_t count() const;
    std::vector<Frame> recent() const;
    std::vector<platform::Error> stops() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Frame> recent_;
    std::size_t count_ = 0;
    std::vector<platform::Error> stops_;
};

// The output and delegate of a stream under test, feeding a FrameLog.
class StreamRecorder final : public platform::StreamOutput, public platform::StreamDelegate {
public:
    FrameLog log;
    void streamDidOutputSampleBuffer(platform::Stream& stream, const platform::SampleBuffer& sample,
                                     int outputType) override;
    void streamDidStopWithError(platform::Stream& stream, const platform::Error& error) override;
};

// Open descriptors of this process.
std::size_t openDescriptorCount();

// The frame the demo drew for this counter at the window's size, doubled: exactly what a 2× capture shows.
bool showsDemoFrameDoubled(const Frame& frame, std::uint32_t windowWidth, std::uint32_t windowHeight);

}  // namespace kestrova::testing::x11
