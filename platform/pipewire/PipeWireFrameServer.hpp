#pragma once

// The real frame server: the device is a connection to the user's PipeWire daemon and the server a Video/Source
// node under the server's name, made again whenever the daemon comes back.

#include "FrameServer.hpp"

#include <chrono>
#include <memory>
#include <string_view>

namespace kestrova::platform::pipewire {

// How long a daemon has to answer before there is taken to be none.
inline constexpr std::chrono::milliseconds kDaemonAnswerBound{1000};

// The device over a new connection to the daemon, with the node of that name already made; nothing when no daemon
// answers within kDaemonAnswerBound or the node cannot be made.
std::shared_ptr<Device> connectDevice(std::string_view serverName);
// Makes connectDevice, for servers of that name, the way the system's default device is found.
void installDeviceFactory(std::string_view serverName);

}  // namespace kestrova::platform::pipewire
