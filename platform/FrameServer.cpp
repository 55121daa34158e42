#include "FrameServer.hpp"

namespace kestrova::platform {

namespace {

DeviceFactory& installedFactory() {
    static DeviceFactory factory;
    return factory;
}

}  // namespace

void installDeviceFactory(DeviceFactory factory) { installedFactory() = std::move(factory); }

std::shared_ptr<Device> createSystemDefaultDevice() {
    auto& factory = installedFactory();
    return factory ? factory() : nullptr;
}

}  // namespace kestrova::platform
