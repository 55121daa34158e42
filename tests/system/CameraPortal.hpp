#pragma once

// The desktop portal's camera as a browser outside a sandbox reaches it, all on a session bus of its own that starts
// no service: the permission store, a PipeWire daemon with its session manager, the portal and its GTK back-end
// (which answers the portal's Access requests), each started here and stopped by its PID. The daemon and the
// session manager must share the portal's bus: that is how they tell the portal's connections apart and read the
// store. The store grants the camera to programs outside a sandbox, as a user who once chose "Grant Access" does.

#include "ChildProcess.hpp"
#include "PipeWireTestSupport.hpp"
#include "PrivateSessionBus.hpp"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestrova::testing {

class CameraPortal {
public:
    CameraPortal();
    CameraPortal(const CameraPortal&) = delete;
    CameraPortal& operator=(const CameraPortal&) = delete;

    // Whether every service came up and the store granted the camera.
    bool ready() const { return ready_; }
    // The daemon whose cameras the portal hands out: a program that publishes one connects there.
    const PrivatePipeWire& pipewire() const { return *pipewire_; }
    // What a program needs in its environment to ask this portal for cameras.
    ChildProcess::Options clientOptions() const;
    // What the services wrote, for a failure's message.
    std::string logs() const;

private:
    std::map<std::string, std::string> environment() const;
    // One of the portal's programs, by its name and arguments.
    std::unique_ptr<ChildProcess> start(std::vector<std::string> command) const;
    bool nameOwned(const std::string& name) const;
    bool grantCamera() const;

    PrivateSessionBus bus_{PrivateSessionBus::Activation::None};
    TemporaryDirectory home_;
    std::unique_ptr<ChildProcess> store_;
    std::unique_ptr<PrivatePipeWire> pipewire_;
    std::unique_ptr<ChildProcess> backEnd_;
    std::unique_ptr<ChildProcess> portal_;
    bool ready_ = false;
};

}  // namespace kestrova::testing
