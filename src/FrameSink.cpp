#include "FrameSink.hpp"

#include "BridgeConstants.hpp"

namespace kestrova {

DiagnosticFrameSink::DiagnosticFrameSink() : name_(constants::kDiagnosticSinkName) {}

void DiagnosticFrameSink::publish(const platform::PixelBufferRef&) {
    std::lock_guard guard(lock_);
    ++frameCount_;
}

std::int64_t DiagnosticFrameSink::frameCount() const {
    std::lock_guard guard(lock_);
    return frameCount_;
}

}  // namespace kestrova
