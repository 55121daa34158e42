#pragma once

// The companion program driven over its standard input, on X11 or on Wayland: each command waits for its answer,
// and the windows it opened are closed when it goes, so that the next test never meets them.

#include "ChildProcess.hpp"

#include <chrono>
#include <string>
#include <vector>

namespace kestrova::testing {

class CompanionProcess {
public:
    CompanionProcess(std::vector<std::string> argv, ChildProcess::Options options, std::chrono::milliseconds bound);
    // Closes every window it opened, unless it has ended.
    ~CompanionProcess();
    CompanionProcess(const CompanionProcess&) = delete;
    CompanionProcess& operator=(const CompanionProcess&) = delete;
    // False when the companion refused the command or did not answer within the bound.
    bool command(const std::string& line);
    pid_t pid() const { return process_.pid(); }

protected:
    ChildProcess process_;

private:
    const std::chrono::milliseconds bound_;
    std::vector<std::string> opened_;
};

}  // namespace kestrova::testing
