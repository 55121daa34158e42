#pragma once

// The main queue over Qt's event loop: closures travel as queued calls to an object of the main thread, delays as
// Qt's precise single-shot timers on that thread.

#include "Dispatch.hpp"

#include <memory>

#include <QObject>

namespace kestrova::platform::qt {

class QtMainQueue final : public MainQueue {
public:
    // Constructed on the thread that runs the event loop; that thread is the main thread from then on.
    QtMainQueue();
    ~QtMainQueue() override;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    void post(Closure work) override;
    bool isMainThread() const override;

protected:
    void schedule(Duration delay, Closure work) override;

private:
    // Work still queued when the queue goes away is dropped with this object, never run.
    std::unique_ptr<QObject> context_;
};

}  // namespace kestrova::platform::qt
