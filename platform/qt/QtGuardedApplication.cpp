#include "QtGuardedApplication.hpp"

#include <QEvent>

namespace kestrova::platform::qt {

GuardedApplication::GuardedApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setQuitOnLastWindowClosed(false);
}

GuardedApplication::~GuardedApplication() = default;

void GuardedApplication::setQuitGate(std::function<bool()> gate) { quitGate_ = std::move(gate); }

bool GuardedApplication::event(QEvent* event) {
    if (event->type() == QEvent::Quit && quitGate_) {
        // The gate may clear itself while it runs; a copy keeps the call alive.
        const auto gate = quitGate_;
        if (!gate()) {
            event->ignore();
            return true;
        }
    }
    return QApplication::event(event);
}

}  // namespace kestrova::platform::qt
