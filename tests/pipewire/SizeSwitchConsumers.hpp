#pragma once

// Consumers of the node that tell, each in its own way, which frame sizes reached them whole: our own receiver
// (kestrova-receive's receiving side, a PipeWire client of its own) and GStreamer's pipewiresrc in gst-launch.

#include "ChildProcess.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace kestrova::testing {

class SizeSwitchConsumer {
public:
    enum class Kind { Receiver, GStreamer };

    // Starts a consumer of the node with that name; the session manager links it as soon as it appears.
    static std::unique_ptr<SizeSwitchConsumer> start(Kind kind, const std::string& nodeName);
    virtual ~SizeSwitchConsumer() = default;

    // Whether a whole frame of that size has arrived, described as being of that size (GStreamer: under caps that
    // say so).
    virtual bool received(std::uint32_t width, std::uint32_t height) = 0;
    // What the consumer saw wrong so far (a torn frame, a buffer its caps do not describe, an error); empty when
    // nothing.
    virtual std::string fault() = 0;
};

const char* kindName(SizeSwitchConsumer::Kind kind);

// Whether the installed GStreamer pipewiresrc can follow its node to another size. It takes the new size as its
// caps from 0.3.70 on, and from 0.3.84 on keeps streaming once its stream has been paused and started again, as
// the node's consumers are while it offers a new size; from 1.2 until 1.5.81 it forgets, once streaming, the caps
// downstream accepts, and fails any format its node offers later ("unhandled format"). Debian 12's 0.3.65 keeps
// its first caps and stops; bookworm-backports' 1.4.2 fails.
bool gstreamerFollowsSizeChanges();

}  // namespace kestrova::testing
