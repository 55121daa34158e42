#pragma once

// One PipeWire output node that other programs list as a camera-like video source: frames of one size at a time,
// offered as BGRA, BGRx, NV12 and I420, driven by whoever publishes (a frame goes out when it is published, not on
// a clock of the graph).

#include "PipeWireConnection.hpp"
#include "ScreenCapture.hpp"
#include "StreamBuffers.hpp"
#include "StreamFormat.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

struct pw_stream;
struct spa_source;

namespace kestrova::platform::pipewire {

// Whether the node can send the frame: not empty, and small enough for PipeWire's 32-bit buffer sizes.
bool publishable(const PixelBufferRef& frame);

class PipeWireVideoSource {
public:
    // Told, on the connection's loop, when the node failed or went away without stop().
    using LostHandler = std::function<void()>;

    // Creates the node named (and described) by the name, offering frames of that size from the start, and waits,
    // up to the bound, until the daemon has made it; nothing when the stream cannot be made or the daemon refuses
    // or does not answer. A node never offers a size it has no picture of: a consumer that links at once would
    // agree on it and wait for frames that never come.
    static std::shared_ptr<PipeWireVideoSource> create(std::shared_ptr<PipeWireConnection> connection,
                                                       std::string_view name, std::uint32_t width,
                                                       std::uint32_t height, std::chrono::milliseconds bound,
                                                       LostHandler onLost = {});
    ~PipeWireVideoSource();
    PipeWireVideoSource(const PipeWireVideoSource&) = delete;
    PipeWireVideoSource& operator=(const PipeWireVideoSource&) = delete;

    // Writes the frame into a free stream buffer in the agreed format and sends it. A frame of another size than the
    // current format's offers the new size and is dropped; so is a frame that finds no consumer, no free buffer or a
    // stream that is gone. Never waits for a consumer. The last frame is kept and sent again when a consumer starts
    // streaming or a new format is agreed: a window that does not change publishes nothing more, and a consumer
    // would otherwise see nothing at all. A frame written into one of the node's own buffers (see
    // acquireFrameBuffer) while the consumers stream BGRA goes out as it is, with no copy.
    void publish(const PixelBufferRef& frame);
    // One of the node's buffers, to write a frame of width × height into; nothing unless a consumer streams BGRA
    // of that size and a buffer is free.
    PixelBufferRef acquireFrameBuffer(std::uint32_t width, std::uint32_t height);
    // Disconnects the node; later frames are dropped.
    void stop();

private:
    struct Listener;
    explicit PipeWireVideoSource(std::shared_ptr<PipeWireConnection> connection);
    void offerSize(std::uint32_t width, std::uint32_t height);
    // Offers the offered size to the consumers.
    void sendOffer();
    void formatChanged(std::optional<VideoFormat> format);
    void stateChanged(int state);
    // Sends the last frame to a new consumer: now and a few times more on a short timer, until a newer frame
    // goes out.
    void resendLast();
    void retryTimer(bool armed);
    // Sends the last frame; false when it could not go out. The loop's lock is held.
    bool sendLast();
    // Queues the last frame's own buffer when it is one of the node's, lent for it and in the agreed format.
    bool queueLastInPlace();

    std::shared_ptr<PipeWireConnection> connection_;
    std::unique_ptr<Listener> listener_;
    pw_stream* stream_ = nullptr;
    LostHandler onLost_;
    // Everything below is only touched under the loop's lock.
    bool ready_ = false;    // the daemon made the node
    bool failed_ = false;   // the node failed or went away
    bool stopped_ = false;  // stop() disconnected it
    std::uint32_t offeredWidth_ = 0;
    std::uint32_t offeredHeight_ = 0;
    bool offerWhenPaused_ = false;  // inactive until the daemon has paused the node, to offer a new size
    std::optional<VideoFormat> format_;
    StreamBuffers buffers_;
    std::uint64_t sequence_ = 0;
    PixelBufferRef last_;
    spa_source* retry_ = nullptr;
    int resendsLeft_ = 0;
};

}  // namespace kestrova::platform::pipewire
