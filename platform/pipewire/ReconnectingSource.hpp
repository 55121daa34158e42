#pragma once

// The node that is made once there is a picture and outlives its daemon. It is made with the first frame's size, on
// a thread of its own, so that a consumer never finds it offering a size there are no frames of. When the node or
// its connection is lost, the thread connects again about once a second and makes the node again under the same
// name, at the last frame's size, until it is there or stop() is called. The last frame published carries over to
// the new node, which sends it to the first consumer that comes.

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
    // A source whose node is made once a frame comes; nothing when the daemon behind the connection cannot make a
    // client's node (asked within the bound). Each node's connection, and the node, are given the same bound.
    static std::shared_ptr<ReconnectingSource> create(std::shared_ptr<PipeWireConnection> connection,
                                                      std::string name, std::chrono::milliseconds bound);
    // Ends the reconnecting thread, which takes at most one connection attempt.
    ~ReconnectingSource() override;
    ReconnectingSource(const ReconnectingSource&) = delete;
    ReconnectingSource& operator=(const ReconnectingSource&) = delete;

    // Publishes through the current node; while there is none, the frame waits to be the new node's first.
    void publish(const PixelBufferRef& frame);
    // A buffer of the current node to capture into; nothing while there is none.
    PixelBufferRef acquireFrameBuffer(std::uint32_t width, std::uint32_t height) override;
    // Stops the node and any reconnection; later frames are dropped.
    void stop();

private:
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
    // The thread: makes a node whenever there is none and a frame waits for it.
    void run();
    // One attempt: a new connection and the node on it, at the frame's size and already handed the frame; nothing
    // on failure.
    std::shared_ptr<PipeWireVideoSource> attempt(std::uint64_t generation, const PixelBufferRef& last);

    const std::string name_;
    const std::chrono::milliseconds bound_;
    const std::shared_ptr<Signal> signal_ = std::make_shared<Signal>();
    // Under the signal's mutex.
    std::shared_ptr<PipeWireVideoSource> current_;  // nothing until there is a picture, and while it is made again
    PixelBufferRef last_;
    std::thread thread_;
};

}  // namespace kestrova::platform::pipewire
