#include "PipeWireFrameServer.hpp"

#include "PipeWireConnection.hpp"
#include "ReconnectingSource.hpp"

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

namespace kestrova::platform::pipewire {

namespace {


// A frame as a texture, and its own wrapper.
class FrameTexture final : public Texture, public TextureWrapper, public std::enable_shared_from_this<FrameTexture> {
public:
    std::uint32_t width() const override { return frame->width(); }
    std::uint32_t height() const override { return frame->height(); }
    std::shared_ptr<Texture> texture() const override {
        return std::const_pointer_cast<FrameTexture>(shared_from_this());
    }

    PixelBufferRef frame;
};

// Holds what was encoded into it until commit() sends it.
class PublishCommandBuffer final : public CommandBuffer {
public:
    // The frame's pixels stay alive until the publication has sent them.
    void encode(std::shared_ptr<ReconnectingSource> source, PixelBufferRef frame) {
        publications_.emplace_back(std::move(source), std::move(frame));
    }

    void commit() override {
        for (const auto& [source, frame] : publications_) source->publish(frame);
        publications_.clear();
    }

private:
    std::vector<std::pair<std::shared_ptr<ReconnectingSource>, PixelBufferRef>> publications_;
};

class VideoServer final : public Server {
public:
    explicit VideoServer(std::shared_ptr<ReconnectingSource> source) : source_(std::move(source)) {}

    // The node sends frames as they were captured: the whole texture, top row first, or nothing.
    int publishFrameTexture(const std::shared_ptr<Texture>& texture, CommandBuffer& commandBuffer, ImageRegion region,
                            bool flipped) override {
        const auto* frameTexture = dynamic_cast<const FrameTexture*>(texture.get());
        auto* publishBuffer = dynamic_cast<PublishCommandBuffer*>(&commandBuffer);
        if (frameTexture == nullptr || publishBuffer == nullptr || flipped || region.x != 0 || region.y != 0 ||
            region.width != frameTexture->width() || region.height != frameTexture->height()) {
            return -EINVAL;
        }
        publishBuffer->encode(source_, frameTexture->frame);
        return 0;
    }

    void stop() override { source_->stop(); }

private:
    std::shared_ptr<ReconnectingSource> source_;
};

// The device is its own command queue and texture cache. Its source is made with it, so that a daemon that cannot
// make its node leaves no device at all.
class PipeWireDevice final : public Device,
                             public CommandQueue,
                             public TextureCache,
                             public std::enable_shared_from_this<PipeWireDevice> {
public:
    PipeWireDevice(std::shared_ptr<PipeWireConnection> connection, std::string name,
                   std::shared_ptr<ReconnectingSource> node)
        : connection_(std::move(connection)), name_(std::move(name)), node_(std::move(node)) {}

    std::shared_ptr<CommandQueue> newCommandQueue() override { return shared_from_this(); }

    // The source made with the device, the first time its name is asked for; a new one otherwise.
    std::shared_ptr<Server> makeServer(std::string_view name) override {
        auto source = name == name_ && node_ ? std::exchange(node_, nullptr)
                                             : ReconnectingSource::create(connection_, std::string(name),
                                                                          kDaemonAnswerBound);
        if (!source) return nullptr;
        return std::make_shared<VideoServer>(std::move(source));
    }

    TextureCacheResult makeTextureCache() override { return {0, shared_from_this()}; }

    // The same command buffer again once the previous frame's work is committed and let go of.
    std::shared_ptr<CommandBuffer> commandBuffer() override {
        if (commandBuffer_.use_count() != 1) commandBuffer_ = std::make_shared<PublishCommandBuffer>();
        return commandBuffer_;
    }

    // Wraps whole BGRA frames as they are; anything else is refused. A texture is reused once the sink has let go
    // of it, so that publishing a frame allocates nothing.
    TextureResult createTextureFromImage(const PixelBufferRef& image, std::uint32_t pixelFormat, std::uint32_t width,
                                         std::uint32_t height, std::size_t planeIndex) override {
        if (!image || pixelFormat != kTexturePixelFormatBGRA8Unorm || planeIndex != 0 ||
            image->pixelFormat() != kPixelFormatBGRA || width != image->width() || height != image->height()) {
            return {-EINVAL, nullptr};
        }
        const auto unused = std::find_if(textures_.begin(), textures_.end(),
                                         [](const auto& texture) { return texture.use_count() == 1; });
        auto texture = unused != textures_.end() ? *unused : textures_.emplace_back(std::make_shared<FrameTexture>());
        texture->frame = image;
        return {0, std::move(texture)};
    }

private:
    std::shared_ptr<PipeWireConnection> connection_;
    std::string name_;
    std::shared_ptr<ReconnectingSource> node_;
    std::shared_ptr<PublishCommandBuffer> commandBuffer_;
    std::vector<std::shared_ptr<FrameTexture>> textures_;
};

}  // namespace

PipeWireFrameServer::PipeWireFrameServer(std::string serverName) : serverName_(std::move(serverName)) {}

std::shared_ptr<Device> PipeWireFrameServer::connectDevice() {
    auto connection = PipeWireConnection::open(kDaemonAnswerBound);
    if (!connection) return nullptr;
    auto node = ReconnectingSource::create(connection, serverName_, kDaemonAnswerBound);
    if (!node) return nullptr;
    {
        std::lock_guard lock(mutex_);
        node_ = node;
    }
    return std::make_shared<PipeWireDevice>(std::move(connection), serverName_, std::move(node));
}

PixelBufferRef PipeWireFrameServer::acquireFrameBuffer(std::uint32_t width, std::uint32_t height) {
    std::shared_ptr<FrameBufferProvider> node;
    {
        std::lock_guard lock(mutex_);
        node = node_.lock();
    }
    return node ? node->acquireFrameBuffer(width, height) : nullptr;
}

}  // namespace kestrova::platform::pipewire
