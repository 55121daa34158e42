#include "QtMainQueue.hpp"

#include <algorithm>
#include <chrono>
#include <limits>

#include <QMetaObject>
#include <QThread>
#include <QTimer>

namespace kestrova::platform::qt {

namespace {

// Qt's timers count whole milliseconds in an int; a delay is rounded up so that work never runs early.
std::chrono::milliseconds timerInterval(Duration delay) {
    using std::chrono::milliseconds;
    const auto rounded = std::chrono::ceil<milliseconds>(std::max(delay, Duration::zero()));
    return std::min(rounded, milliseconds(std::numeric_limits<int>::max()));
}

}  // namespace

QtMainQueue::QtMainQueue() : context_(std::make_unique<QObject>()) {}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(Closure work) {
    QMetaObject::invokeMethod(context_.get(), std::move(work), Qt::QueuedConnection);
}

bool QtMainQueue::isMainThread() const { return QThread::currentThread() == context_->thread(); }

void QtMainQueue::schedule(Duration delay, Closure work) {
    const auto interval = timerInterval(delay);
    // A timer belongs to the thread that starts it, so one asked for elsewhere is started on the main thread.
    auto start = [context = context_.get(), interval, work = std::move(work)]() mutable {
        QTimer::singleShot(interval, Qt::PreciseTimer, context, std::move(work));
    };
    if (isMainThread()) {
        start();
    } else {
        post(std::move(start));
    }
}

}  // namespace kestrova::platform::qt
