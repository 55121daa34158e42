#pragma once

// A consumer of a PipeWire video source found by node name: raw BGRA frames of any size, each handed over as it
// arrives, size changes followed.

#include "pipewire/PipeWireConnection.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct pw_buffer;
struct pw_stream;

namespace kestrova::receive {

// One received frame, valid only during the handler's call: the memory is the stream's and goes back after it.
struct FrameView {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t bytesPerRow = 0;
    const std::uint8_t* pixels = nullptr;
    std::uint64_t sequence = 0;  // the sender's count, when it sends one
    std::int64_t sentAt = 0;     // the sender's monotonic clock when it sent the frame, in ns, when it says
};

class FrameReceiver {
public:
    // Runs on the receiver's own PipeWire thread, one frame at a time.
    using FrameHandler = std::function<void(const FrameView&)>;

    // Connects to the node with that name (or serial); nothing when no daemon answers within the bound. The session
    // manager links the stream to that node and no other: when it is not there, the stream fails.
    static std::unique_ptr<FrameReceiver> connect(const std::string& target, FrameHandler handler,
                                                  std::chrono::milliseconds bound);
    ~FrameReceiver();

    // Keeps the buffer of the first frame the test accepts instead of handing it back at once, until release():
    // a consumer that holds a frame, as video software does while it encodes or shows it.
    void holdFirst(std::function<bool(const FrameView&)> accept);
    // The frame held so far, valid until release().
    std::optional<FrameView> held() const;
    void release();

    // Whether the stream ended: its node was missing or went away, or the daemon did.
    bool failed() const { return failed_; }
    FrameReceiver(const FrameReceiver&) = delete;
    FrameReceiver& operator=(const FrameReceiver&) = delete;

private:
    struct Listener;
    FrameReceiver(std::shared_ptr<platform::pipewire::PipeWireConnection> connection, FrameHandler handler);
    void formatChanged(std::uint32_t width, std::uint32_t height);
    void process();

    std::shared_ptr<platform::pipewire::PipeWireConnection> connection_;
    FrameHandler handler_;
    std::unique_ptr<Listener> listener_;
    pw_stream* stream_ = nullptr;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    std::atomic<bool> failed_{false};
    // Under the loop's lock.
    std::function<bool(const FrameView&)> accept_;
    pw_buffer* heldBuffer_ = nullptr;
    FrameView heldView_;
};

}  // namespace kestrova::receive
