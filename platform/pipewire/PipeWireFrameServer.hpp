#pragma once

// The real frame server: the device is a connection to the user's PipeWire daemon and the server a Video/Source
// node under the server's name, made again whenever the daemon comes back.

#include "FrameServer.hpp"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace kestrova::platform::pipewire {

// How long a daemon has to answer before there is taken to be none.
inline constexpr std::chrono::milliseconds kDaemonAnswerBound{1000};

// The frame server of one name. Its devices connect afresh to the daemon, each with its node already made; the
// node of the latest device lends its buffers to captures, so that a frame is written once, straight into the
// buffer the node sends. Safe to use from any thread.
class PipeWireFrameServer final : public FrameBufferProvider {
public:
    explicit PipeWireFrameServer(std::string serverName);

    // The device over a new connection to the daemon, with the node of the server's name already made; nothing
    // when no daemon answers within kDaemonAnswerBound or the node cannot be made.
    std::shared_ptr<Device> connectDevice();
    // A buffer of the latest device's node while that node lives; nothing before, after, or when it has none free.
    PixelBufferRef acquireFrameBuffer(std::uint32_t width, std::uint32_t height) override;

private:
    const std::string serverName_;
    std::mutex mutex_;
    // Held weakly: a node that goes away simply stops lending.
    std::weak_ptr<FrameBufferProvider> node_;
};

}  // namespace kestrova::platform::pipewire
