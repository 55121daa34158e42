#include "qt/QtRuntime.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <ostream>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

// A Wayland display that listens: a socket bound in a folder of its own, named by its full path.
class ListeningSocket {
public:
    ListeningSocket() {
        char folder[] = "/tmp/kestrova-wayland.XXXXXX";
        if (mkdtemp(folder) == nullptr) return;
        path_ = std::string(folder) + "/wayland-test";
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, path_.size());
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 4) != 0) {
            path_.clear();
        }
    }
    ~ListeningSocket() {
        if (fd_ >= 0) close(fd_);
        if (!path_.empty()) {
            unlink(path_.c_str());
            rmdir(path_.substr(0, path_.rfind('/')).c_str());
        }
    }
    ListeningSocket(const ListeningSocket&) = delete;
    ListeningSocket& operator=(const ListeningSocket&) = delete;
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

const ListeningSocket& liveWayland() {
    static const ListeningSocket socket;
    return socket;
}

// Stands for the path of liveWayland() in a case.
const std::string kLiveWayland = "live";
// A display number that no X server on this machine listens on, and a Wayland socket nobody listens on.
const std::string kDeadDisplay = ":4093";
const std::string kDeadWayland = "/tmp/kestrova-no-such-wayland-socket";

struct DesktopCase {
    const char* name;
    std::optional<std::string> platform;
    std::optional<std::string> display;
    // Empty: the desktop counts as reachable; else a text the one-line reason must contain.
    std::string reasonMentions;
    std::optional<std::string> sessionType = std::nullopt;
    std::optional<std::string> waylandDisplay = std::nullopt;
};

void PrintTo(const DesktopCase& c, std::ostream* os) { *os << c.name; }

class DesktopCheck : public ::testing::TestWithParam<DesktopCase> {};

TEST_P(DesktopCheck, SaysInOneLineWhyTheDisplayCannotBeOpened) {
    const auto& param = GetParam();
    ASSERT_FALSE(liveWayland().path().empty());
    const auto wayland = param.waylandDisplay == kLiveWayland ? liveWayland().path() : param.waylandDisplay;
    ScopedEnvironment environment({{"QT_QPA_PLATFORM", param.platform},
                                   {"DISPLAY", param.display},
                                   {"XDG_SESSION_TYPE", param.sessionType},
                                   {"WAYLAND_DISPLAY", wayland}});
    const auto reason = desktopUnavailableReason();
    if (param.reasonMentions.empty()) {
        EXPECT_FALSE(reason.has_value()) << *reason;
        return;
    }
    ASSERT_TRUE(reason.has_value());
    EXPECT_NE(reason->find(param.reasonMentions), std::string::npos) << *reason;
    EXPECT_EQ(reason->find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, DesktopCheck,
    ::testing::Values(DesktopCase{"no_display", std::nullopt, std::nullopt, "DISPLAY"},
                      DesktopCase{"empty_display", std::nullopt, std::string(), "DISPLAY"},
                      DesktopCase{"dead_display", std::nullopt, kDeadDisplay, kDeadDisplay},
                      DesktopCase{"xcb_named_without_display", std::string("xcb"), std::nullopt, "DISPLAY"},
                      DesktopCase{"other_platform_named", std::string("offscreen"), std::nullopt, ""},
                      // A Wayland session needs no X server at all; without its compositor Qt goes on to X11.
                      DesktopCase{"wayland_session", std::nullopt, std::nullopt, "", "wayland", kLiveWayland},
                      DesktopCase{"wayland_session_dead", std::nullopt, std::nullopt, "DISPLAY", "wayland",
                                  kDeadWayland},
                      DesktopCase{"wayland_named", std::string("wayland"), std::nullopt, "", "x11", kLiveWayland},
                      DesktopCase{"wayland_named_dead", std::string("wayland"), std::nullopt, kDeadWayland,
                                  std::nullopt, kDeadWayland},
                      DesktopCase{"x11_session_ignores_wayland", std::nullopt, std::nullopt, "DISPLAY", "x11",
                                  kLiveWayland}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DesktopCheckTest, TheRunsOwnDisplayIsReachable) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') GTEST_SKIP() << "no X server in this run";
    ScopedEnvironment environment({{"QT_QPA_PLATFORM", std::nullopt}, {"XDG_SESSION_TYPE", std::nullopt}});
    EXPECT_FALSE(desktopUnavailableReason().has_value());
}

}  // namespace
