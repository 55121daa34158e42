#include "PipeWireFrameServer.hpp"

#include "PipeWireConnection.hpp"
#include "ReconnectingSource.hpp"

#include <cerrno>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace kestrova::platform::pipewire {

namespace {

// A texture is the frame itself: holding it keeps the pixels alive until the publication has sent them.
class FrameTexture final : public Texture {
public:
    std::uint32_t width() const override { return width_; }
    std::uint32_t height() const override { return height_; }
    const PixelBufferRef& frame() const { return frame_; }
    void wrap(const PixelBufferRef& frame, std::uint32_t width, std::uint32_t height) {
        frame_ = frame;
        width_ = width;
        height_ = height;
    }

private:
    PixelBufferRef frame_;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
};

class FrameTextureWrapper final : public TextureWrapper {
public:
    std::shared_ptr<Texture> texture() const override { return texture_; }
    FrameTexture& frameTexture() { return *texture_; }
    // Nobody but this wrapper's owner refers to it or to its texture.
    bool unused(long ownerReferences) const { return texture_.use_count() == 1 && ownerReferences == 1; }

private:
    std::shared_ptr<FrameTexture> texture_ = std::make_shared<FrameTexture>();
};

// Wraps BGRA frames as they are; anything else is refused. A frame's wrapper and texture are reused once the sink
// has let go of them, so publishing a frame allocates nothing.
class FrameTextureCache final : public TextureCache {
public:
    TextureResult createTextureFromImage(const PixelBufferRef& image, std::uint32_t pixelFormat, std::uint32_t width,
                                         std::uint32_t height, std::size_t planeIndex) override {
        if (!image || pixelFormat != kTexturePixelFormatBGRA8Unorm || planeIndex != 0 ||
            image->pixelFormat() != kPixelFormatBGRA || width == 0 || height == 0 || width > image->width() ||
            height > image->height()) {
            return {-EINVAL, nullptr};
        }
        std::shared_ptr<FrameTextureWrapper> wrapper;
        for (const auto& reusable : wrappers_) {
            if (reusable->unused(reusable.use_count())) {
                wrapper = reusable;
                break;
            }
        }
        if (!wrapper) wrapper = wrappers_.emplace_back(std::make_shared<FrameTextureWrapper>());
        wrapper->frameTexture().wrap(image, width, height);
        return {0, std::move(wrapper)};
    }

private:
    std::vector<std::shared_ptr<FrameTextureWrapper>> wrappers_;
};

// Holds what was encoded into it until commit() sends it.
class PublishCommandBuffer final : public CommandBuffer {
public:
    struct Publication {
        std::shared_ptr<ReconnectingSource> source;
        std::shared_ptr<const FrameTexture> texture;
        PixelRect region;
        bool flipped = false;
    };

    void encode(Publication publication) { publications_.push_back(std::move(publication)); }

    void commit() override {
        for (const auto& p : publications_) p.source->publish(p.texture->frame(), p.region, p.flipped);
        publications_.clear();
    }

private:
    std::vector<Publication> publications_;
};

// Hands out the same command buffer again once the previous frame's work is committed and let go of.
class PublishCommandQueue final : public CommandQueue {
public:
    std::shared_ptr<CommandBuffer> commandBuffer() override {
        if (reusable_.use_count() != 1) reusable_ = std::make_shared<PublishCommandBuffer>();
        return reusable_;
    }

private:
    std::shared_ptr<PublishCommandBuffer> reusable_;
};

// The region in whole pixels, clipped to the texture; empty when nothing of it lies inside.
PixelRect pixelRegion(ImageRegion region, const Texture& texture) {
    // The whole texture, as every frame asks: its size is taken as it is, not rounded back from the region.
    if (region.x == 0 && region.y == 0 && region.width == texture.width() && region.height == texture.height()) {
        return {0, 0, texture.width(), texture.height()};
    }
    const auto clamp = [](double value, std::uint32_t limit) {
        if (!std::isfinite(value) || value <= 0) return std::uint32_t{0};
        return value >= limit ? limit : static_cast<std::uint32_t>(std::lround(value));
    };
    const std::uint32_t left = clamp(region.x, texture.width());
    const std::uint32_t top = clamp(region.y, texture.height());
    const std::uint32_t right = clamp(region.x + region.width, texture.width());
    const std::uint32_t bottom = clamp(region.y + region.height, texture.height());
    if (right <= left || bottom <= top) return {};
    return {left, top, right - left, bottom - top};
}

class VideoServer final : public Server {
public:
    explicit VideoServer(std::shared_ptr<ReconnectingSource> source) : source_(std::move(source)) {}

    void publishFrameTexture(const std::shared_ptr<Texture>& texture, CommandBuffer& commandBuffer,
                             ImageRegion region, bool flipped) override {
        auto frameTexture = std::dynamic_pointer_cast<const FrameTexture>(texture);
        auto* publishBuffer = dynamic_cast<PublishCommandBuffer*>(&commandBuffer);
        if (!frameTexture || publishBuffer == nullptr) return;
        const PixelRect pixels = pixelRegion(region, *frameTexture);
        if (pixels.width == 0) return;
        publishBuffer->encode({source_, std::move(frameTexture), pixels, flipped});
    }

    void stop() override { source_->stop(); }

private:
    std::shared_ptr<ReconnectingSource> source_;
};

// The device's source is made with the device, so that a daemon that cannot make its node leaves no device at all.
class PipeWireDevice final : public Device {
public:
    PipeWireDevice(std::shared_ptr<PipeWireConnection> connection, std::string name,
                   std::shared_ptr<ReconnectingSource> node)
        : connection_(std::move(connection)), name_(std::move(name)), node_(std::move(node)) {}

    std::shared_ptr<CommandQueue> newCommandQueue() override { return std::make_shared<PublishCommandQueue>(); }

    // The source made with the device, the first time its name is asked for; a new one otherwise.
    std::shared_ptr<Server> makeServer(std::string_view name) override {
        auto source = name == name_ && node_ ? std::exchange(node_, nullptr)
                                             : ReconnectingSource::create(connection_, std::string(name),
                                                                          kDaemonAnswerBound);
        if (!source) return nullptr;
        return std::make_shared<VideoServer>(std::move(source));
    }

    TextureCacheResult makeTextureCache() override { return {0, std::make_shared<FrameTextureCache>()}; }

private:
    std::shared_ptr<PipeWireConnection> connection_;
    std::string name_;
    std::shared_ptr<ReconnectingSource> node_;
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
