#include "PrivateSessionBus.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>

namespace kestrova::testing {

PrivateSessionBus::PrivateSessionBus() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kestrova-bus-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return;
    directory_ = pattern;
    address_ = "unix:path=" + directory_ + "/bus";
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address_, "--print-address=1"});
    // The daemon prints its address once it listens.
    running_ = daemon_->waitForOutput("unix:", std::chrono::seconds(10));
}

PrivateSessionBus::~PrivateSessionBus() {
    if (daemon_) {
        daemon_->signal(SIGTERM);
        daemon_->wait(std::chrono::seconds(5));
        daemon_.reset();
    }
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

}  // namespace kestrova::testing
