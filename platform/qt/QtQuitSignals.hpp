#pragma once

// SIGTERM and SIGINT as quit requests: the handler only writes a byte to a pipe, and a socket notifier on the
// main thread turns what arrived into one call of the callback.

#include <functional>
#include <memory>

class QSocketNotifier;

namespace kestrova::platform::qt {

class QuitSignals {
public:
    // Installs the handlers for the life of this object; one instance per process.
    explicit QuitSignals(std::function<void()> onQuitRequest);
    ~QuitSignals();
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

private:
    void drain();

    std::function<void()> onQuitRequest_;
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace kestrova::platform::qt
