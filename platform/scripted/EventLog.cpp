#include "EventLog.hpp"

namespace kestrova::platform::scripted {

void EventLog::add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
}

std::vector<std::string> EventLog::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

void EventLog::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

}  // namespace kestrova::platform::scripted
