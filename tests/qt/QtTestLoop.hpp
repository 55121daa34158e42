#pragma once

#include <chrono>
#include <functional>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace kestrova::testing {

// Serves Qt's events until the predicate holds or the bound passes; gives whether it held. A ticking timer wakes
// the wait now and then, so that a predicate about another thread is seen without spinning.
inline bool serveEventsUntil(const std::function<bool()>& done,
                             std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    QDeadlineTimer deadline(bound);
    QTimer tick;
    tick.start(std::chrono::milliseconds(20));
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace kestrova::testing
