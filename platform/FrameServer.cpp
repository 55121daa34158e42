#include "FrameServer.hpp"

#include <mutex>

namespace kestrova::platform {

namespace {

DeviceFactory& installedFactory() {
    static DeviceFactory factory;
    return factory;
}

struct InstalledProvider {
    std::mutex mutex;
    std::weak_ptr<FrameBufferProvider> provider;
};

InstalledProvider& installedProvider() {
    static InstalledProvider installed;
    return installed;
}

}  // namespace

void installFrameBufferProvider(std::weak_ptr<FrameBufferProvider> provider) {
    auto& installed = installedProvider();
    std::lock_guard lock(installed.mutex);
    installed.provider = std::move(provider);
}

PixelBufferRef acquireFrameBuffer(std::uint32_t width, std::uint32_t height) {
    std::shared_ptr<FrameBufferProvider> provider;
    {
        auto& installed = installedProvider();
        std::lock_guard lock(installed.mutex);
        provider = installed.provider.lock();
    }
    return provider ? provider->acquireFrameBuffer(width, height) : nullptr;
}

void installDeviceFactory(DeviceFactory factory) { installedFactory() = std::move(factory); }

std::shared_ptr<Device> createSystemDefaultDevice() {
    auto& factory = installedFactory();
    return factory ? factory() : nullptr;
}

}  // namespace kestrova::platform
