#include "ScriptedFrameServer.hpp"

namespace kestrova::platform::scripted {

namespace {

using Record = std::shared_ptr<FrameServerRecord>;

class RecordedTexture final : public Texture {
public:
    RecordedTexture(std::uint32_t width, std::uint32_t height) : width_(width), height_(height) {}
    std::uint32_t width() const override { return width_; }
    std::uint32_t height() const override { return height_; }

private:
    std::uint32_t width_;
    std::uint32_t height_;
};

class RecordedWrapper final : public TextureWrapper {
public:
    explicit RecordedWrapper(std::shared_ptr<Texture> texture) : texture_(std::move(texture)) {}
    std::shared_ptr<Texture> texture() const override { return texture_; }

private:
    std::shared_ptr<Texture> texture_;
};

class RecordedCommandBuffer final : public CommandBuffer {
public:
    explicit RecordedCommandBuffer(Record record) : record_(std::move(record)) {}
    void commit() override { record_->add("commit"); }

private:
    Record record_;
};

class RecordedQueue final : public CommandQueue {
public:
    explicit RecordedQueue(Record record) : record_(std::move(record)) {}
    std::shared_ptr<CommandBuffer> commandBuffer() override {
        if (record_->script.noCommandBuffer) return nullptr;
        return std::make_shared<RecordedCommandBuffer>(record_);
    }

private:
    Record record_;
};

class RecordedCache final : public TextureCache {
public:
    explicit RecordedCache(Record record) : record_(std::move(record)) {}
    TextureResult createTextureFromImage(const PixelBufferRef&, std::uint32_t format, std::uint32_t width,
                                         std::uint32_t height, std::size_t plane) override {
        record_->add("texture " + std::to_string(format) + " " + std::to_string(width) + "x" +
                     std::to_string(height) + " plane " + std::to_string(plane));
        const auto& script = record_->script;
        if (script.textureStatus != 0 || script.noWrapper) return {script.textureStatus, nullptr};
        return {0, std::make_shared<RecordedWrapper>(
                       script.noTexture ? nullptr : std::make_shared<RecordedTexture>(width, height))};
    }

private:
    Record record_;
};

class RecordedServer final : public Server {
public:
    explicit RecordedServer(Record record) : record_(std::move(record)) {}
    ~RecordedServer() override { record_->add("server released"); }
    int publishFrameTexture(const std::shared_ptr<Texture>&, CommandBuffer&, ImageRegion region,
                            bool flipped) override {
        record_->add("publish " + std::to_string(int(region.x)) + "," + std::to_string(int(region.y)) + " " +
                     std::to_string(int(region.width)) + "x" + std::to_string(int(region.height)) +
                     (flipped ? " flipped" : ""));
        record_->notePublished();
        return 0;
    }
    void stop() override {
        record_->add("stop");
        record_->noteStopped();
    }

private:
    Record record_;
};

class RecordedDevice final : public Device {
public:
    explicit RecordedDevice(Record record) : record_(std::move(record)) {}
    std::shared_ptr<CommandQueue> newCommandQueue() override {
        record_->add("queue");
        return record_->script.noQueue ? nullptr : std::make_shared<RecordedQueue>(record_);
    }
    std::shared_ptr<Server> makeServer(std::string_view name) override {
        record_->add("server " + std::string(name));
        return std::make_shared<RecordedServer>(record_);
    }
    TextureCacheResult makeTextureCache() override {
        record_->add("cache");
        const int status = record_->script.cacheStatus;
        return {status, status == 0 ? std::make_shared<RecordedCache>(record_) : nullptr};
    }

private:
    Record record_;
};

}  // namespace

void FrameServerRecord::clear() {
    log_.clear();
    published_ = 0;
    publishedAfterStop_ = 0;
}

void FrameServerRecord::notePublished() {
    ++published_;
    if (stopped_) ++publishedAfterStop_;
}

ScriptedFrameServer::ScriptedFrameServer() : record_(std::make_shared<FrameServerRecord>()) {}

DeviceFactory ScriptedFrameServer::deviceFactory() const {
    return [record = record_]() -> std::shared_ptr<Device> {
        record->add("device");
        if (record->script.noDevice) return nullptr;
        return std::make_shared<RecordedDevice>(record);
    };
}

}  // namespace kestrova::platform::scripted
