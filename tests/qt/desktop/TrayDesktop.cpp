#include "TrayDesktop.hpp"

#include "WaitUntil.hpp"
#include "ProgramPaths.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace kestrova::testing {

namespace {

using namespace std::chrono_literals;

constexpr auto kStartBound = 15s;

}  // namespace

TrayDesktop::TrayDesktop() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kestrova-tray-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr || !bus_.isRunning()) return;
    directory_ = pattern;
    std::filesystem::create_directories(directory_ + "/config");
    std::filesystem::create_directories(directory_ + "/cache");
    std::filesystem::create_directories(directory_ + "/runtime");
    std::filesystem::permissions(directory_ + "/runtime", std::filesystem::perms::owner_all);

    xServer_ = std::make_unique<PrivateXServer>();
    display_ = xServer_->display();
    if (display_.empty()) return;
    windowManager_ = std::make_unique<Openbox>(display_);
    running_ = windowManager_->ready();
}

TrayDesktop::~TrayDesktop() {
    tray_.reset();
    settingsDaemon_.reset();
    windowManager_.reset();
    xServer_.reset();
    std::error_code ignored;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
}

ChildProcess::Options TrayDesktop::options() const {
    ChildProcess::Options options;
    options.environment = {{"DISPLAY", display_},
                           {"DBUS_SESSION_BUS_ADDRESS", bus_.address()},
                           {"QT_QPA_PLATFORM", "xcb"},
                           {"XDG_CONFIG_HOME", directory_ + "/config"},
                           {"XDG_CACHE_HOME", directory_ + "/cache"},
                           {"XDG_RUNTIME_DIR", directory_ + "/runtime"},
                           {"XDG_CONFIG_DIRS", kestrova::testing::paths::trayConfigDir}};
    options.unsetEnvironment = {"SESSION_MANAGER", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP"};
    return options;
}

bool TrayDesktop::startSettingsDaemon() {
    if (settingsDaemon_) return true;
    // Started here with the panel's configuration, before the panel would have the bus start one without it.
    settingsDaemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{kestrova::testing::paths::xfconfd}, options());
    return waitUntil(
        [this] {
            return run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus.NameHasOwner", "string:org.xfce.Xfconf"})
                       .out.find("boolean true") != std::string::npos;
        },
        kStartBound);
}

bool TrayDesktop::startTray(TrayKind kind) {
    tray_.reset();
    if (kind == TrayKind::trayer) {
        tray_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel", "--width",
                                     "200", "--height", "32"},
            options());
        return true;
    }
    if (!startSettingsDaemon()) return false;
    tray_ = std::make_unique<ChildProcess>(std::vector<std::string>{"xfce4-panel"}, options());
    return true;
}

void TrayDesktop::killTray() { tray_.reset(); }

std::vector<std::string> TrayDesktop::visibleWindows(const std::string& instanceName) const {
    std::istringstream lines(run({"xdotool", "search", "--onlyvisible", "--classname", "^" + instanceName + "$"}).out);
    std::vector<std::string> windows;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) windows.push_back(line);
    }
    return windows;
}

std::optional<WindowGeometry> TrayDesktop::geometry(const std::string& window) const {
    const auto result = run({"xdotool", "getwindowgeometry", "--shell", window});
    if (result.status != 0) return std::nullopt;
    WindowGeometry geometry;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals);
        const int value = std::atoi(line.c_str() + equals + 1);
        if (key == "X") geometry.x = value;
        if (key == "Y") geometry.y = value;
        if (key == "WIDTH") geometry.width = value;
        if (key == "HEIGHT") geometry.height = value;
    }
    return geometry;
}

bool TrayDesktop::click(int x, int y, int button) const {
    return run({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", std::to_string(button)})
               .status == 0;
}

bool TrayDesktop::pressKeys(const std::vector<std::string>& keys) const {
    std::vector<std::string> argv{"xdotool"};
    for (const auto& key : keys) argv.insert(argv.end(), {"key", key});
    return run(argv).status == 0;
}

bool TrayDesktop::screenshot(const std::string& path) const {
    return run({"import", "-window", "root", path}).status == 0;
}

std::optional<int> TrayDesktop::coloursAround(int x, int y, int radius) const {
    const std::string side = std::to_string(2 * radius);
    const std::string square =
        side + "x" + side + "+" + std::to_string(std::max(x - radius, 0)) + "+" + std::to_string(std::max(y - radius, 0));
    const auto result = run({"import", "-window", "root", "-crop", square, "+repage", "-format", "%k", "info:-"});
    if (result.status != 0 || result.out.empty()) return std::nullopt;
    return std::atoi(result.out.c_str());
}

RunResult TrayDesktop::run(std::vector<std::string> argv) const {
    return runProgram(std::move(argv), kStartBound, options());
}

}  // namespace kestrova::testing
