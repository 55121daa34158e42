#pragma once

// Sample buffers as a capture service may hand them over: the one shape that carries a complete frame, and every
// malformed shape a reader of attachments must tolerate.

#include "ScreenCapture.hpp"

#include <string>
#include <vector>

namespace kestrova::platform::scripted {

// A valid screen sample with a complete-frame status and the given image.
SampleBuffer completeSample(PixelBufferRef image);

struct NamedSample {
    std::string name;
    SampleBuffer sample;
    int outputType = 0;
};

// Samples that must never reach a sink, each named for the fault it carries; all have an image unless that is the
// fault.
std::vector<NamedSample> malformedSamples();

}  // namespace kestrova::platform::scripted
