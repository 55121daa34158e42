#pragma once

// The capture loop the window providers share: a picture is taken when the source has a new one and a frame
// interval has passed since the last; until then the capture thread sleeps.

#include "CaptureThread.hpp"

#include <chrono>
#include <optional>

namespace kestrova::platform {

// When the next picture may be taken: on a beat of one interval, which a late take moves to itself, so that the
// pictures held up behind it do not follow in a rush.
class FramePacer {
public:
    using Clock = std::chrono::steady_clock;

    explicit FramePacer(std::chrono::nanoseconds interval) : interval_(interval) {}
    // The next picture may be taken as soon as there is one.
    void restart(Clock::time_point now) { due_ = now; }
    // Whether a picture may be taken at `now`; when it may, the one after it is due an interval later.
    bool take(Clock::time_point now);
    Clock::time_point due() const { return due_; }

private:
    std::chrono::nanoseconds interval_;
    Clock::time_point due_{};
};

// A capture worker whose source is read at the pace of the frame interval. The provider says what its source
// reported, whether a picture waits, how to take it and how to sleep; the loop decides when.
class PacedWorker : public CaptureWorker {
public:
    PacedWorker(CaptureChannel& channel, const CaptureSettings& settings);
    PacedWorker(const PacedWorker&) = delete;
    PacedWorker& operator=(const PacedWorker&) = delete;
    // Runs until the channel wants a stop (no error) or update() reports the source's end (its error).
    std::optional<Error> run() final;

protected:
    // Takes in what the source reported since the last step; the error that ends the stream, if any.
    virtual std::optional<Error> update() = 0;
    // Whether the source holds a picture not yet taken.
    virtual bool ready() const = 0;
    // Takes the waiting picture into a frame for the outputs; called at most once per frame interval.
    virtual void take() = 0;
    // Sleeps until the source or the channel has something, or until the deadline.
    virtual void wait(std::optional<FramePacer::Clock::time_point> deadline) = 0;
    // The next picture is taken as soon as there is one: for a source opened anew.
    void restartPacing() { pacer_.restart(FramePacer::Clock::now()); }

    CaptureChannel& channel_;
    const CaptureSettings settings_;

private:
    FramePacer pacer_;
};

}  // namespace kestrova::platform
