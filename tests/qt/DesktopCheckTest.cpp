#include "qt/QtRuntime.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <ostream>
#include <string>

using kestrova::platform::qt::desktopUnavailableReason;

namespace {

// Sets (or, with nothing, unsets) environment variables for one test and puts the old values back afterwards.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const std::map<std::string, std::optional<std::string>>& values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
            apply(name, value);
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) apply(name, value);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    static void apply(const std::string& name, const std::optional<std::string>& value) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

struct DesktopCase {
    const char* name;
    std::optional<std::string> platform;
    std::optional<std::string> display;
    // Empty: the desktop counts as reachable; else a text the one-line reason must contain.
    std::string reasonMentions;
};

void PrintTo(const DesktopCase& c, std::ostream* os) { *os << c.name; }

class DesktopCheck : public ::testing::TestWithParam<DesktopCase> {};

TEST_P(DesktopCheck, SaysInOneLineWhyTheDisplayCannotBeOpened) {
    const auto& param = GetParam();
    ScopedEnvironment environment({{"QT_QPA_PLATFORM", param.platform}, {"DISPLAY", param.display}});
    const auto reason = desktopUnavailableReason();
    if (param.reasonMentions.empty()) {
        EXPECT_FALSE(reason.has_value()) << *reason;
        return;
    }
    ASSERT_TRUE(reason.has_value());
    EXPECT_NE(reason->find(param.reasonMentions), std::string::npos) << *reason;
    EXPECT_EQ(reason->find('\n'), std::string::npos);
}

// A display number that no X server on this machine listens on.
const std::string kDeadDisplay = ":4093";

INSTANTIATE_TEST_SUITE_P(
    Environments, DesktopCheck,
    ::testing::Values(DesktopCase{"no_display", std::nullopt, std::nullopt, "DISPLAY"},
                      DesktopCase{"empty_display", std::nullopt, std::string(), "DISPLAY"},
                      DesktopCase{"dead_display", std::nullopt, kDeadDisplay, kDeadDisplay},
                      DesktopCase{"xcb_named_without_display", std::string("xcb"), std::nullopt, "DISPLAY"},
                      DesktopCase{"other_platform_named", std::string("offscreen"), std::nullopt, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DesktopCheckTest, TheRunsOwnDisplayIsReachable) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') GTEST_SKIP() << "no X server in this run";
    ScopedEnvironment environment({{"QT_QPA_PLATFORM", std::nullopt}});
    EXPECT_FALSE(desktopUnavailableReason().has_value());
}

}  // namespace
