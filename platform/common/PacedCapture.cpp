#include "PacedCapture.hpp"

#include <algorithm>

namespace kestrova::platform {

bool FramePacer::take(Clock::time_point now) {
    if (now < due_) return false;
    due_ = std::max(due_ + interval_, now);
    return true;
}

PacedWorker::PacedWorker(CaptureChannel& channel, const CaptureSettings& settings)
    : channel_(channel), settings_(settings), pacer_(settings.interval) {}

std::optional<Error> PacedWorker::run() {
    for (;;) {
        if (auto error = update()) return error;
        if (channel_.stopWanted()) return std::nullopt;
        const bool waiting = ready();
        if (waiting && pacer_.take(FramePacer::Clock::now())) {
            take();
        } else {
            wait(waiting ? std::optional(pacer_.due()) : std::nullopt);
        }
    }
}

}  // namespace kestrova::platform
