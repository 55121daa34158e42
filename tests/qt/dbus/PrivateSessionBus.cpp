#include "PrivateSessionBus.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kestrova::testing {

namespace {

// A session bus on that address that lets every client talk to every other and names no directory of services to
// start.
std::string noActivationConfig(const std::string& address) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>)" + address + R"(</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

}  // namespace

PrivateSessionBus::PrivateSessionBus(Activation activation) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kestrova-bus-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return;
    directory_ = pattern;
    address_ = "unix:path=" + directory_ + "/bus";
    std::string configuration = "--session";
    if (activation == Activation::None) {
        const std::string path = directory_ + "/bus.conf";
        std::ofstream(path) << noActivationConfig(address_);
        configuration = "--config-file=" + path;
    }
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "dbus-daemon", configuration, "--nofork", "--nopidfile", "--address=" + address_, "--print-address=1"});
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
