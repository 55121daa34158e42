#include "X11ScreenCapture.hpp"

#include "CaptureStream.hpp"
#include "Connection.hpp"
#include "WindowList.hpp"

namespace kestrova::platform::x11 {

namespace {

// The listing connection and what was learnt on it; used on the listing queue only.
class Listing {
public:
    explicit Listing(std::string display) : display_(std::move(display)) {}

    ShareableContentAnswer answer(bool excludingDesktopWindows, bool onScreenWindowsOnly) {
        blockBrokenPipeSignal();
        if (!connection_) {
            auto opened = Connection::open(display_);
            if (auto* error = std::get_if<Error>(&opened)) return ShareableContentAnswer(*error);
            connection_ = std::move(std::get<std::unique_ptr<Connection>>(opened));
            lister_ = std::make_unique<WindowLister>(*connection_);
        }
        auto windows = lister_->list(excludingDesktopWindows, onScreenWindowsOnly);
        if (connection_->broken()) {
            // Forgotten, so that the next query connects afresh.
            lister_.reset();
            connection_.reset();
            return ShareableContentAnswer(connectionLost(display_));
        }
        return ShareableContentAnswer(ShareableContent{std::move(windows)});
    }

private:
    const std::string display_;
    std::unique_ptr<Connection> connection_;
    std::unique_ptr<WindowLister> lister_;
};

class X11ScreenCapture final : public ScreenCaptureService {
public:
    X11ScreenCapture(std::string display, std::weak_ptr<FrameBufferProvider> frameBuffers)
        : display_(std::move(display)),
          frameBuffers_(std::move(frameBuffers)),
          listing_(std::make_shared<Listing>(display_)),
          queue_(std::make_unique<SerialQueue>("org.kestrova.x11.windows", QueuePriority::normal)) {}

    // Queries wait on the display's answers, so they run on a thread of their own, one after another.
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             std::function<void(ShareableContentAnswer)> completion) override {
        queue_->async([listing = listing_, excludingDesktopWindows, onScreenWindowsOnly,
                       completion = std::move(completion)] {
            completion(listing->answer(excludingDesktopWindows, onScreenWindowsOnly));
        });
    }

    std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                       std::weak_ptr<StreamDelegate> delegate) override {
        const std::uint32_t window = filter.window() ? filter.window()->windowID : std::uint32_t{XCB_WINDOW_NONE};
        return makeCaptureStream(display_, window, configuration, std::move(delegate), frameBuffers_);
    }

private:
    const std::string display_;
    const std::weak_ptr<FrameBufferProvider> frameBuffers_;
    std::shared_ptr<Listing> listing_;
    // Last, so that it finishes the queries still queued before anything else goes.
    std::unique_ptr<SerialQueue> queue_;
};

}  // namespace

std::shared_ptr<ScreenCaptureService> makeX11ScreenCapture(std::string display,
                                                           std::weak_ptr<FrameBufferProvider> frameBuffers) {
    return std::make_shared<X11ScreenCapture>(resolvedDisplayName(display), std::move(frameBuffers));
}

}  // namespace kestrova::platform::x11
