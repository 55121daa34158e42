#pragma once

#include "FrameServer.hpp"
#include "FrameSink.hpp"

#include <memory>
#include <string>

namespace kestrova {

// Publishes every frame to other programs through a server named "Kestrova Bridge", wrapping the frame's memory
// as a texture without copying, on the device the factory makes. Construction yields nothing when there is no
// device, queue or texture cache.
class SyphonFrameSink final : public FrameSink {
public:
    static std::shared_ptr<SyphonFrameSink> create(const platform::DeviceFactory& deviceFactory);

    bool isAvailable() const override { return true; }
    const std::string& name() const override { return name_; }
    // Any failure on the way drops this frame silently; the next one is handled afresh.
    void publish(const platform::PixelBufferRef& pixelBuffer) override;
    // Tells the server to stop; everything else stays as it is.
    void stop() override;

private:
    SyphonFrameSink();

    const std::string name_;
    std::shared_ptr<platform::Device> device_;
    std::shared_ptr<platform::CommandQueue> commandQueue_;
    std::shared_ptr<platform::Server> server_;
    std::shared_ptr<platform::TextureCache> textureCache_;
};

}  // namespace kestrova
