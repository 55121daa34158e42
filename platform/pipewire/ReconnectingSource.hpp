#pragma once

// The node that outlives its daemon: when the node or its connection is lost, a thread of its own connects again
// about once a second and makes the node again under the same name, until it is there or stop() is called. The
// last frame published carries over to the new node, which sends it to the first consumer that comes.

#include "FrameServer.hpp"
#include "PipeWireConnection.hpp"
#include "PipeWireVideoSource.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kestrova::platform::pipewire {

class ReconnectingSource final : public FrameBufferProvider {
public:
    // Makes the node over the connection, waiting up to the bound for the daemon to make it; nothing when it
    // cannot be made. Later connections are given the same bound.
    static std::shared_ptr<ReconnectingSource> create(std::shared_ptr<PipeWireConnection> connection,
                                                      std::string name, std::chrono::milliseconds bound);
    // Ends the reconnecting thread, which takes at most one connection attempt.
    ~ReconnectingSource() override;
    ReconnectingSource(const ReconnectingSource&) = delete;
    ReconnectingSource& operator=(const ReconnectingSource&) = delete;

    // Publishes through the current node; dropped while there is none.
    void publish(const PixelBufferRef& frame, PixelRect region, bool flipped);
    // A buffer of the current node to capture into; nothing while there is none.
    PixelBufferRef acquireFrameBuffer(std::uint32_t width, std::uint32_t height) override;
    // Stops the node and any reconnection; later frames are dropped.
    void stop();

private:
    struct Publication {
        PixelBufferRef frame;
        PixelRect region;
        bool flipped = false;
        bool operator==(const Publication& other) const {
            return frame == other.frame && region.x == other.region.x && region.y == other.region.y &&
                   region.width == other.region.width && region.height == other.region.height &&
                   flipped == other.flipped;
        }
    };

    // What a node's loop tells the reconnecting thread. Nodes hold it, not this object, so that no loop thread
    // ever holds the last reference to what owns its loop.
    struct Signal {
        std::mutex mutex;
        std::condition_variable wake;
        std::uint64_t generation = 0;  // which node's loss counts: older ones were replaced already
        bool lost = false;
        bool stopped = false;
    };

    ReconnectingSource(std::string name, std::chrono::milliseconds bound);
    std::shared_ptr<PipeWireVideoSource> makeNode(std::shared_ptr<PipeWireConnection> connection,
                                                  std::uint64_t generation);
    void reconnect();
    // One attempt: a new connection and the node on it, the last frame already handed to it; nothing on failure.
    std::shared_ptr<PipeWireVideoSource> attempt(std::uint64_t generation, const Publication& last);

    const std::string name_;
    const std::chrono::milliseconds bound_;
    const std::shared_ptr<Signal> signal_ = std::make_shared<Signal>();
    // Under the signal's mutex.
    std::shared_ptr<PipeWireVideoSource> current_;  // nothing while the node is being made again
    Publication last_;
    std::thread thread_;
};

}  // namespace kestrova::platform::pipewire
