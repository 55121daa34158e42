#pragma once

#include "AppFramework.hpp"
#include "CaptureBridge.hpp"
#include "Dispatch.hpp"
#include "FrameServer.hpp"
#include "WindowDiscovery.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

// What the running system is built on, made by the program's start-up (or a test), which keeps the application
// and the screen-capture service alive for as long as anything made from them.
struct Providers {
    platform::Application& application;
    platform::ScreenCaptureService& screenCapture;
    // How the shared-video sink finds its device; with none, frames are only counted.
    platform::DeviceFactory deviceFactory;
};

// The one object that owns the running system: the status item and its menu, discovery, the capture bridge, and
// the selection state that ties them together. Everything here runs on the main thread.
class AppDelegate final : public platform::ApplicationDelegate,
                          public platform::MenuTarget,
                          public std::enable_shared_from_this<AppDelegate> {
public:
    static std::shared_ptr<AppDelegate> create(const Providers& providers);

    void applicationDidFinishLaunching() override;
    platform::TerminateReply applicationShouldTerminate(platform::Application& sender) override;

    void selectWindow(const platform::MenuItem& sender) override;
    void openScreenRecordingSettings() override;

    // Builds a whole new menu from the current state and installs it.
    void rebuildMenu();
    std::string transmissionStatus(const DiscoveredWindow& window) const;

    const std::shared_ptr<platform::StatusItem>& statusItem() const { return statusItem_; }
    const std::shared_ptr<WindowDiscovery>& discovery() const { return discovery_; }
    const std::shared_ptr<CaptureBridge>& capture() const { return capture_; }
    const std::vector<DiscoveredWindow>& windows() const { return windows_; }
    std::optional<std::uint32_t> selectedWindowID() const { return selectedWindowID_; }
    const std::string& statusText() const { return statusText_; }
    bool terminationPending() const { return terminationPending_; }

private:
    explicit AppDelegate(const Providers& providers);
    void reconcile(const std::vector<DiscoveredWindow>& windows);
    void select(const DiscoveredWindow& window);
    const DiscoveredWindow* find(std::uint32_t id) const;
    static platform::Task<> quit(std::shared_ptr<AppDelegate> delegate, platform::Application& sender);

    platform::Application& application_;
    const std::shared_ptr<platform::StatusItem> statusItem_;
    const std::shared_ptr<WindowDiscovery> discovery_;
    const std::shared_ptr<CaptureBridge> capture_;
    std::vector<DiscoveredWindow> windows_;
    std::optional<std::uint32_t> selectedWindowID_;
    std::string statusText_;
    bool terminationPending_ = false;
};

// The normal start-up: the delegate over the providers, its installation, the accessory policy, then the
// application's event loop, whose exit status this gives.
int runApplication(const Providers& providers);

}  // namespace kestrova
