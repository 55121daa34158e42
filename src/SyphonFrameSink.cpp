#include "SyphonFrameSink.hpp"

#include "BridgeConstants.hpp"

namespace kestrova {

SyphonFrameSink::SyphonFrameSink() : name_(constants::kServerName) {}

std::shared_ptr<SyphonFrameSink> SyphonFrameSink::create(const platform::DeviceFactory& deviceFactory) {
    std::shared_ptr<SyphonFrameSink> sink(new SyphonFrameSink());
    auto device = deviceFactory ? deviceFactory() : nullptr;
    if (!device) return nullptr;
    auto queue = device->newCommandQueue();
    if (!queue) return nullptr;
    // From here on the server exists; a later failure drops it without stopping it.
    auto server = device->makeServer(sink->name_);
    sink->device_ = std::move(device);
    sink->commandQueue_ = std::move(queue);
    sink->server_ = std::move(server);
    auto cache = sink->device_->makeTextureCache();
    if (cache.status != 0) return nullptr;
    sink->textureCache_ = std::move(cache.cache);
    return sink;
}

void SyphonFrameSink::publish(const platform::PixelBufferRef& pixelBuffer) {
    if (!pixelBuffer) return;
    const std::uint32_t width = pixelBuffer->width();
    const std::uint32_t height = pixelBuffer->height();
    if (!textureCache_) return;
    const auto made = textureCache_->createTextureFromImage(pixelBuffer, platform::kTexturePixelFormatBGRA8Unorm,
                                                           width, height, 0);
    if (made.status != 0 || !made.wrapper) return;
    const auto texture = made.wrapper->texture();
    if (!texture) return;
    const auto commandBuffer = commandQueue_->commandBuffer();
    if (!commandBuffer) return;
    if (server_) {
        server_->publishFrameTexture(texture, *commandBuffer,
                                     platform::ImageRegion{0, 0, double(width), double(height)}, false);
    }
    commandBuffer->commit();
}

void SyphonFrameSink::stop() {
    if (server_) server_->stop();
}

}  // namespace kestrova
