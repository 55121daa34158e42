#include "KWinScreenCapture.hpp"

#include "Compositor.hpp"
#include "WindowList.hpp"
#include "WindowStream.hpp"

#include <cstdlib>

namespace kestrova::platform::kwin {

namespace {

class KWinScreenCapture final : public ScreenCaptureService {
public:
    explicit KWinScreenCapture(std::weak_ptr<FrameBufferProvider> frameBuffers)
        : frameBuffers_(std::move(frameBuffers)),
          ids_(std::make_shared<WindowIds>()),
          queue_(std::make_unique<SerialQueue>("org.kestrova.kwin.windows", QueuePriority::normal)) {}

    // Queries wait on the compositor's answers, so they run on a thread of their own, one after another, each on
    // a connection of its own.
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             std::function<void(ShareableContentAnswer)> completion) override {
        queue_->async([ids = ids_, excludingDesktopWindows, onScreenWindowsOnly, completion = std::move(completion)] {
            auto connected = Compositor::connect();
            if (auto* error = std::get_if<Error>(&connected)) return completion(ShareableContentAnswer(*error));
            auto listed = listWindows(*std::get<std::unique_ptr<Compositor>>(connected), excludingDesktopWindows,
                                      onScreenWindowsOnly, *ids);
            if (auto* error = std::get_if<Error>(&listed)) return completion(ShareableContentAnswer(*error));
            completion(ShareableContentAnswer(ShareableContent{std::get<std::vector<Window>>(std::move(listed))}));
        });
    }

    std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                       std::weak_ptr<StreamDelegate> delegate) override {
        std::optional<std::string> uuid;
        if (filter.window()) uuid = ids_->keyOf(filter.window()->windowID);
        return makeWindowStream(std::move(uuid), configuration, std::move(delegate), frameBuffers_);
    }

private:
    const std::weak_ptr<FrameBufferProvider> frameBuffers_;
    std::shared_ptr<WindowIds> ids_;
    // Last, so that it finishes the queries still queued before anything else goes.
    std::unique_ptr<SerialQueue> queue_;
};

}  // namespace

bool sessionOffersWindowCapture() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (display == nullptr || *display == '\0') return false;
    return std::holds_alternative<std::unique_ptr<Compositor>>(Compositor::connect());
}

std::shared_ptr<ScreenCaptureService> makeKWinScreenCapture(std::weak_ptr<FrameBufferProvider> frameBuffers) {
    return std::make_shared<KWinScreenCapture>(std::move(frameBuffers));
}

}  // namespace kestrova::platform::kwin
