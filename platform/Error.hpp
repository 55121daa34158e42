#pragma once

#include <string>
#include <utility>

namespace kestrova::platform {

// A platform failure as it travels through the system: the provider's own words, shown to the user as they are.
struct Error {
    std::string description;
    std::string domain;
    int code = 0;

    Error() = default;
    explicit Error(std::string text, std::string errorDomain = {}, int errorCode = 0)
        : description(std::move(text)), domain(std::move(errorDomain)), code(errorCode) {}

    const std::string& localizedDescription() const { return description; }
};

}  // namespace kestrova::platform
