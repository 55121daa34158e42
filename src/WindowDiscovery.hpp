#pragma once

#include "BridgeConstants.hpp"
#include "Dispatch.hpp"
#include "ScreenCapture.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

// One output window as discovery reports it: a shared platform handle and what is derived from it.
struct DiscoveredWindow {
    platform::Window window;

    std::uint32_t id() const { return window->windowID; }
    std::string title() const {
        return window->title ? *window->title : std::string(constants::kUntitledWindowTitle);
    }
};

// Polls the shareable windows about once a second and reports the ordered output windows whenever they change,
// and each run of failures once, as the screen-capture service (which outlives it) lists them. All of it lives on
// the main thread.
class WindowDiscovery : public std::enable_shared_from_this<WindowDiscovery> {
public:
    static std::shared_ptr<WindowDiscovery> create(platform::ScreenCaptureService& screenCapture);
    // Cancels the poller, which would otherwise keep waking to find its discovery gone.
    ~WindowDiscovery();

    std::function<void(const std::vector<DiscoveredWindow>&)> onChange;
    std::function<void(const platform::Error&)> onError;

    // Starts polling unless a poller already runs.
    void start();
    // Cancels the poller, if any, and forgets it; what it last reported is kept.
    void stop();

private:
    explicit WindowDiscovery(platform::ScreenCaptureService& screenCapture) : screenCapture_(screenCapture) {}
    static platform::Task<> poll(std::weak_ptr<WindowDiscovery> discovery);
    platform::Task<> scan();
    void report(std::vector<DiscoveredWindow> windows);
    void reportFailure(const platform::Error& error);

    platform::ScreenCaptureService& screenCapture_;
    std::optional<platform::TaskHandle> pollingTask;
    std::string previousSignature;
};

// Keeps the windows an output list may show: normal layer, another process's, titled with the prefix; then sorts
// them by title in the natural order (stable): case ignored, digit runs by value, ICU's default locale for the rest.
std::vector<DiscoveredWindow> outputWindows(const std::vector<platform::Window>& windows, std::int32_t ownProcess);
std::string signature(const std::vector<DiscoveredWindow>& windows);

}  // namespace kestrova
