#pragma once

// What the shared-video sink needs from the outside: a device, its command queue, a cache that turns pixel
// buffers into textures without copying, command buffers, and a named server that publishes textures to other
// programs. Providers: platform/pipewire (real) and platform/scripted (tests).

#include "ScreenCapture.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kestrova::platform {

// Pixel format of a texture: 32-bit BGRA, 8 bits per channel, normalised unsigned.
inline constexpr std::uint32_t kTexturePixelFormatBGRA8Unorm = 80;

// A texture over a frame's memory. It keeps the frame's pixels alive until the work that uses it is done.
class Texture {
public:
    virtual ~Texture() = default;
    virtual std::uint32_t width() const = 0;
    virtual std::uint32_t height() const = 0;
};

// What the cache hands back for one frame; it may carry no texture.
class TextureWrapper {
public:
    virtual ~TextureWrapper() = default;
    virtual std::shared_ptr<Texture> texture() const = 0;
};

struct TextureResult {
    int status = 0;  // 0 on success
    std::shared_ptr<TextureWrapper> wrapper;
};

class TextureCache {
public:
    virtual ~TextureCache() = default;
    virtual TextureResult createTextureFromImage(const PixelBufferRef& image, std::uint32_t pixelFormat,
                                                 std::uint32_t width, std::uint32_t height,
                                                 std::size_t planeIndex) = 0;
};

// Collects the work of one frame; commit() submits it and returns at once.
class CommandBuffer {
public:
    virtual ~CommandBuffer() = default;
    virtual void commit() = 0;
};

class CommandQueue {
public:
    virtual ~CommandQueue() = default;
    // A new command buffer, or nothing.
    virtual std::shared_ptr<CommandBuffer> commandBuffer() = 0;
};

struct ImageRegion {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// A server that other programs find by its name.
class Server {
public:
    virtual ~Server() = default;
    // Encodes the publication of the texture's region into the command buffer: 0 when it is encoded, a negative
    // errno when the server refuses it and the command buffer carries nothing of it.
    virtual int publishFrameTexture(const std::shared_ptr<Texture>& texture, CommandBuffer& commandBuffer,
                                    ImageRegion region, bool flipped) = 0;
    virtual void stop() = 0;
};

struct TextureCacheResult {
    int status = 0;  // 0 on success
    std::shared_ptr<TextureCache> cache;
};

class Device {
public:
    virtual ~Device() = default;
    // A new command queue, or nothing.
    virtual std::shared_ptr<CommandQueue> newCommandQueue() = 0;
    // A server with that name on this device; creation is not checked by callers.
    virtual std::shared_ptr<Server> makeServer(std::string_view name) = 0;
    virtual TextureCacheResult makeTextureCache() = 0;
};

// Where a capture may take the memory it writes a frame into: a frame server that shares its own buffers with its
// consumers offers them here, so that a frame is written once, straight where it is read. A buffer handed out is
// the caller's alone until it drops it or publishes it.
class FrameBufferProvider {
public:
    virtual ~FrameBufferProvider() = default;
    // A BGRA buffer of exactly width × height, or nothing when none is free or frames of that size are not wanted.
    virtual PixelBufferRef acquireFrameBuffer(std::uint32_t width, std::uint32_t height) = 0;
};

// How the sink finds its device: a new device each call, or nothing when there is none.
using DeviceFactory = std::function<std::shared_ptr<Device>()>;

}  // namespace kestrova::platform
