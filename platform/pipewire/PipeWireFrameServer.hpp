#pragma once

// The real frame server: the device is a connection to the user's PipeWire daemon and the server a Video/Source
// node under the server's name.

#include "FrameServer.hpp"

#include <chrono>
#include <memory>

namespace kestrova::platform::pipewire {

// How long a daemon has to answer before there is taken to be none.
inline constexpr std::chrono::milliseconds kDaemonAnswerBound{1000};

// The device over a new connection to the daemon; nothing when none answers within kDaemonAnswerBound.
std::shared_ptr<Device> connectDevice();
// Makes connectDevice the way the system's default device is found.
void installDeviceFactory();

}  // namespace kestrova::platform::pipewire
