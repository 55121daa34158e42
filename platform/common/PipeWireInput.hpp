#pragma once

// The PipeWire input stream the Wayland providers read a compositor's cast of one window from.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

struct spa_buffer;

namespace kestrova::platform {

namespace pipewire {
class PipeWireConnection;
}

// The part of a picture that holds the content, as the producer marks it on the buffer.
struct InputRegion {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// One picture the producer sent, readable while it is being read.
struct InputFrame {
    const std::uint8_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t stride = 0;
    bool opaque = false;  // BGRx: the fourth byte is undefined
    // Set when the producer marks a region inside the picture; always within it.
    std::optional<InputRegion> crop;
};

// The crop region the producer marks on the buffer, when it has one that lies inside a picture of that size.
std::optional<InputRegion> cropOf(const spa_buffer& buffer, std::uint32_t width, std::uint32_t height);

// Why an input could not start or went away; each provider words it in its own error domain.
enum class InputFailure {
    unreachable,  // no PipeWire daemon answered
    lost,         // the connection to PipeWire broke
    refused,      // PipeWire did not take the stream
    ended,        // the producer stopped sending
};

// The user's words for why an input could not start or went away; `producer` names who stops sending ("El
// compositor"), when the stream ended.
std::string inputFailureDescription(InputFailure failure, std::string_view producer);

// A PipeWire input stream of one node, in shared-memory BGRA or BGRx buffers, on a connection of its own whose
// thread runs PipeWire's callbacks. The owner polls fd(), which is readable when something arrived, and calls
// dispatch() then. Only the newest picture is kept; older ones go back to the producer at once.
class PipeWireInput {
public:
    static std::variant<std::unique_ptr<PipeWireInput>, InputFailure> connect(std::uint32_t node);
    ~PipeWireInput();
    PipeWireInput(const PipeWireInput&) = delete;
    PipeWireInput& operator=(const PipeWireInput&) = delete;

    int fd() const;
    // Takes note that fd() was readable; what arrived is in the state below already.
    void dispatch();
    // Whether a picture waits to be read.
    bool hasPicture() const;
    // Calls `read` with the newest picture, if there is one, and gives the picture back to the producer after it;
    // whether there was one. PipeWire's callbacks wait meanwhile, so the picture stays valid during the call.
    bool readNewest(const std::function<void(const InputFrame&)>& read);
    // Why the stream ended, once it has.
    std::optional<InputFailure> failure() const;
    // The picture's size changed after the stream began. KWin does not get a stream going again after that
    // (it stays paused, with no buffers), so the owner casts the window anew.
    bool resized() const;

private:
    struct Impl;
    explicit PipeWireInput(std::shared_ptr<pipewire::PipeWireConnection> connection);

    std::shared_ptr<pipewire::PipeWireConnection> connection_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrova::platform
