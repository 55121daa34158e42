#pragma once

#include "ChildProcess.hpp"

#include <memory>
#include <string>

namespace kestrova::testing {

// A session bus of the test's own: a dbus-daemon on a socket in a fresh directory, stopped by its PID. Tests that
// register well-known names (a status-item watcher) take one each, so they may run side by side.
class PrivateSessionBus {
public:
    enum class Activation {
        Standard,  // the session services installed on the system are started on demand, as on a desktop
        None,      // nothing is started on demand: a test runs every service it wants itself
    };
    explicit PrivateSessionBus(Activation activation = Activation::Standard);
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    // Whether the daemon started and listens.
    bool isRunning() const { return running_; }
    // The value for DBUS_SESSION_BUS_ADDRESS.
    const std::string& address() const { return address_; }

private:
    std::string directory_;
    std::string address_;
    std::unique_ptr<ChildProcess> daemon_;
    bool running_ = false;
};

}  // namespace kestrova::testing
