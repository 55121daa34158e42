#include "ScreenCapture.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace kestrova::platform {

namespace {

std::shared_ptr<ScreenCaptureService>& installedService() {
    static std::shared_ptr<ScreenCaptureService> service;
    return service;
}

}  // namespace

ScreenCaptureService& screenCapture() {
    auto& service = installedService();
    if (!service) {
        std::fputs("kestrova: no screen-capture provider installed\n", stderr);
        std::abort();
    }
    return *service;
}

void installScreenCapture(std::shared_ptr<ScreenCaptureService> service) { installedService() = std::move(service); }

std::int32_t currentProcessID() { return static_cast<std::int32_t>(getpid()); }

}  // namespace kestrova::platform
