#pragma once

#include "ChildProcess.hpp"
#include "PrivateDesktop.hpp"
#include "PrivateSessionBus.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::testing {

// The notification areas tried end to end, both Debian's: xfce4-panel's, a StatusNotifierItem host and an XEmbed
// tray at once, and trayer, an XEmbed tray only.
enum class TrayKind { xfcePanel, trayer };

struct WindowGeometry {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// A desktop of one test's own: Xvfb on a free display, a window manager, a session bus, and a tray that the test
// starts, kills and starts again. Its programs keep their configuration and caches in a fresh directory; the
// panel's configuration comes from the test data. The X server is driven with xdotool, as a user would.
class TrayDesktop {
public:
    TrayDesktop();
    ~TrayDesktop();
    TrayDesktop(const TrayDesktop&) = delete;
    TrayDesktop& operator=(const TrayDesktop&) = delete;

    bool isRunning() const { return running_; }
    const std::string& busAddress() const { return bus_.address(); }
    // The environment for a program on this desktop.
    ChildProcess::Options options() const;

    bool startTray(TrayKind kind);
    // Kills the tray as a crash would.
    void killTray();

    // Mapped windows whose WM_CLASS instance name is the given one.
    std::vector<std::string> visibleWindows(const std::string& instanceName) const;
    std::optional<WindowGeometry> geometry(const std::string& window) const;
    bool click(int x, int y, int button) const;
    bool pressKeys(const std::vector<std::string>& keys) const;
    bool screenshot(const std::string& path) const;
    // How many colours the screen shows in the square of the given half width around a point: one where only a
    // background is drawn; nothing when the screen could not be read.
    std::optional<int> coloursAround(int x, int y, int radius) const;

private:
    RunResult run(std::vector<std::string> argv) const;
    bool startSettingsDaemon();

    std::string directory_;
    std::string display_;
    PrivateSessionBus bus_;
    std::unique_ptr<PrivateXServer> xServer_;
    std::unique_ptr<Openbox> windowManager_;
    std::unique_ptr<ChildProcess> settingsDaemon_;
    std::unique_ptr<ChildProcess> tray_;
    bool running_ = false;
};

}  // namespace kestrova::testing
