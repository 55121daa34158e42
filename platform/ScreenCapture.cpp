#include "ScreenCapture.hpp"

#include <unistd.h>

namespace kestrova::platform {

std::int32_t currentProcessID() { return static_cast<std::int32_t>(getpid()); }

}  // namespace kestrova::platform
