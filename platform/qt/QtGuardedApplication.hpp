#pragma once

// The process's QApplication, with a gate on quit events: QCoreApplication::quit() and the session's quit request
// reach the application object as QEvent::Quit, and the gate decides whether that ends the event loop.

#include <functional>

#include <QApplication>

namespace kestrova::platform::qt {

class GuardedApplication final : public QApplication {
public:
    // Keeps running with no window open: the status item is not a window.
    GuardedApplication(int& argc, char** argv);
    ~GuardedApplication() override;

    // Asked on every quit event; false swallows it. Without a gate quit events end the loop as usual.
    void setQuitGate(std::function<bool()> gate);

protected:
    bool event(QEvent* event) override;

private:
    std::function<bool()> quitGate_;
};

}  // namespace kestrova::platform::qt
