#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace kestrova::platform::scripted {

// What the scripted providers were asked, in order.
class EventLog {
public:
    void add(std::string event);
    std::vector<std::string> events() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

}  // namespace kestrova::platform::scripted
