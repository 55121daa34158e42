#include "GnomeScreenCapture.hpp"

#include "SessionBus.hpp"
#include "ShellWindows.hpp"
#include "WindowStream.hpp"

#include <cstdlib>

namespace kestrova::platform::gnome {

namespace {

class GnomeScreenCapture final : public ScreenCaptureService {
public:
    explicit GnomeScreenCapture(std::weak_ptr<FrameBufferProvider> frameBuffers)
        : frameBuffers_(std::move(frameBuffers)),
          ids_(std::make_shared<WindowIds>()),
          queue_(std::make_unique<SerialQueue>("org.kestrova.gnome.windows", QueuePriority::normal)) {}

    // Queries wait on the shell's answers, so they run on a thread of their own, one after another, each on a
    // connection of its own. The extension lists every output window, minimised or not, and nothing else.
    void getShareableContent(bool, bool, std::function<void(ShareableContentAnswer)> completion) override {
        queue_->async([ids = ids_, completion = std::move(completion)] {
            auto connected = BusConnection::connect();
            if (auto* error = std::get_if<Error>(&connected)) return completion(ShareableContentAnswer(*error));
            auto listed = askShell(std::get<BusConnection>(connected).get());
            if (auto* error = std::get_if<Error>(&listed)) return completion(ShareableContentAnswer(*error));
            auto records = recordsOf(std::get<std::vector<ShellWindow>>(std::move(listed)), *ids);
            completion(ShareableContentAnswer(ShareableContent{std::move(records)}));
        });
    }

    std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                       std::weak_ptr<StreamDelegate> delegate) override {
        std::optional<std::uint64_t> windowID;
        if (filter.window()) windowID = ids_->keyOf(filter.window()->windowID);
        return makeWindowStream(windowID, configuration, std::move(delegate), frameBuffers_);
    }

private:
    const std::weak_ptr<FrameBufferProvider> frameBuffers_;
    std::shared_ptr<WindowIds> ids_;
    // Last, so that it finishes the queries still queued before anything else goes.
    std::unique_ptr<SerialQueue> queue_;
};

}  // namespace

bool sessionOffersWindowCapture() {
    // Mutter offers its ScreenCast on X11 sessions too, where the X server's windows serve.
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (display == nullptr || *display == '\0') return false;
    auto connected = BusConnection::connect();
    auto* bus = std::get_if<BusConnection>(&connected);
    return bus && nameHasOwner(bus->get(), "org.gnome.Mutter.ScreenCast");
}

std::shared_ptr<ScreenCaptureService> makeGnomeScreenCapture(std::weak_ptr<FrameBufferProvider> frameBuffers) {
    return std::make_shared<GnomeScreenCapture>(std::move(frameBuffers));
}

}  // namespace kestrova::platform::gnome
