#pragma once

#include "pipewire/PipeWireFrameServer.hpp"
#include "SyphonFrameSink.hpp"

#include <memory>

namespace kestrova::testing {

// The shared-video sink over the frame server's devices, as the program makes it; nothing when none connects.
inline std::shared_ptr<SyphonFrameSink> sinkOf(platform::pipewire::PipeWireFrameServer& frameServer) {
    return SyphonFrameSink::create([&frameServer] { return frameServer.connectDevice(); });
}

}  // namespace kestrova::testing
