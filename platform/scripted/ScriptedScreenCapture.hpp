#pragma once

// A screen-capture provider that does nothing by itself: every query and every start or stop waits until the test
// releases it, in the order and on the thread the test chooses, so that each interleaving can be written down.

#include "EventLog.hpp"
#include "ScreenCapture.hpp"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::platform::scripted {

// Where a released completion runs: on the caller's thread, or on a thread of its own (joined before returning).
enum class On { caller, otherThread };

class ScriptedStream final : public Stream, public std::enable_shared_from_this<ScriptedStream> {
public:
    ScriptedStream(EventLog& log, Window window, StreamConfiguration configuration, std::weak_ptr<StreamDelegate> d);

    // The window's title, or its id when untitled: how the log names this stream.
    const std::string& name() const { return name_; }
    const Window& window() const { return window_; }
    const StreamConfiguration& configuration() const { return configuration_; }

    // Set before registration to make it fail.
    std::optional<Error> addError;

    std::size_t pendingStarts() const;
    std::size_t pendingStops() const;
    // Runs the oldest held start or stop completion with the given outcome. False when none is held.
    bool releaseStart(std::optional<Error> error = std::nullopt, On on = On::caller);
    bool releaseStop(std::optional<Error> error = std::nullopt, On on = On::caller);

    // Started successfully and not stopped successfully since.
    bool running() const;
    // Hands the sample to the registered output on its queue, as a running stream does; false when not running or
    // when no output of that type is registered.
    bool deliver(SampleBuffer sample, int outputType = 0);
    // Returns once every sample delivered so far has been handled.
    void waitForDeliveries();
    // The stream's own report that it stopped, as a vanished window causes; the stream is no longer running.
    void stopWithError(const Error& error, On on = On::caller);

    std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, int outputType,
                                         std::shared_ptr<SerialQueue> sampleHandlerQueue) override;
    void startCapture(StreamCompletion completion) override;
    void stopCapture(StreamCompletion completion) override;

private:
    bool release(std::deque<StreamCompletion>& held, bool starting, std::optional<Error> error, On on);

    EventLog& log_;
    Window window_;
    StreamConfiguration configuration_;
    std::weak_ptr<StreamDelegate> delegate_;
    std::string name_;
    mutable std::mutex mutex_;
    std::deque<StreamCompletion> starts_;
    std::deque<StreamCompletion> stops_;
    std::weak_ptr<StreamOutput> output_;
    int outputType_ = -1;
    std::shared_ptr<SerialQueue> queue_;
    bool running_ = false;
    bool stopped_ = false;
};

class ScriptedScreenCapture final : public ScreenCaptureService {
public:
    explicit ScriptedScreenCapture(EventLog& log) : log_(log) {}

    // Window queries, oldest first, each held until answered.
    std::size_t pendingQueries() const;
    std::size_t queryCount() const;
    bool answer(ShareableContentAnswer answer, On on = On::caller);

    // Every stream made so far, oldest first.
    std::vector<std::shared_ptr<ScriptedStream>> streams() const;
    std::shared_ptr<ScriptedStream> lastStream() const;
    // The next stream made refuses its output registration with this error.
    void failNextRegistration(Error error);

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             std::function<void(ShareableContentAnswer)> completion) override;
    std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                       std::weak_ptr<StreamDelegate> delegate) override;

private:
    EventLog& log_;
    mutable std::mutex mutex_;
    std::deque<std::function<void(ShareableContentAnswer)>> queries_;
    std::size_t queryCount_ = 0;
    std::vector<std::shared_ptr<ScriptedStream>> streams_;
    std::optional<Error> nextRegistrationError_;
};

// Runs the work on the caller's thread or on a thread of its own, waiting for it either way.
void runOn(On on, const std::function<void()>& work);

}  // namespace kestrova::platform::scripted
