#include "QtQuitSignals.hpp"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace kestrova::platform::qt {

namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGINT};

volatile sig_atomic_t signalPipeWriter = -1;

// Async-signal-safe: one write() to a non-blocking pipe, errno left as it was. A full pipe already holds a request.
void onQuitSignal(int) {
    const int saved = errno;
    const int fd = signalPipeWriter;
    if (fd >= 0) {
        const char byte = 1;
        (void)!write(fd, &byte, 1);
    }
    errno = saved;
}

void setHandler(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : kQuitSignals) sigaction(sig, &action, nullptr);
}

}  // namespace

QuitSignals::QuitSignals(std::function<void()> onQuitRequest) : onQuitRequest_(std::move(onQuitRequest)) {
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { drain(); });
    signalPipeWriter = pipe_[1];
    setHandler(onQuitSignal);
}

QuitSignals::~QuitSignals() {
    if (pipe_[0] < 0) return;
    setHandler(SIG_DFL);
    signalPipeWriter = -1;
    notifier_.reset();
    close(pipe_[0]);
    close(pipe_[1]);
}

void QuitSignals::drain() {
    char bytes[64];
    bool requested = false;
    while (read(pipe_[0], bytes, sizeof bytes) > 0) requested = true;
    // Signals that arrive together are one request; the delegate answers repeated ones anyway.
    if (requested && onQuitRequest_) onQuitRequest_();
}

}  // namespace kestrova::platform::qt
