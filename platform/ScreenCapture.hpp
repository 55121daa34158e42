#pragma once

// The screen-capture boundary: the window source, capture streams and the frames they deliver. Providers:
// platform/x11 (real desktops) and platform/scripted (tests).

#include "Dispatch.hpp"
#include "Error.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestrova::platform {

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

struct RunningApplication {
    std::int32_t processID = 0;
};

// One shareable window as the source saw it when listing.
struct WindowRecord {
    std::uint32_t windowID = 0;
    std::optional<std::string> title;
    std::int64_t windowLayer = 0;  // 0 is the normal window layer
    std::optional<RunningApplication> owningApplication;
    Rect frame;  // in points
};

// The shared window handle: copies are cheap and all refer to the same record.
using Window = std::shared_ptr<const WindowRecord>;

struct ShareableContent {
    std::vector<Window> windows;  // in the source's stable order
};

// The one answer of a shareable-content query. Either member may be set; one with neither is outside the
// contract and is read by callers as a failure.
struct ShareableContentAnswer {
    std::optional<ShareableContent> content;
    std::optional<Error> error;

    ShareableContentAnswer() = default;
    explicit ShareableContentAnswer(ShareableContent c) : content(std::move(c)) {}
    explicit ShareableContentAnswer(Error e) : error(std::move(e)) {}
};

// A filter that captures one window alone, wherever it is.
class ContentFilter {
public:
    explicit ContentFilter(Window desktopIndependentWindow) : window_(std::move(desktopIndependentWindow)) {}
    const Window& window() const { return window_; }

private:
    Window window_;
};

struct Time {
    std::int64_t value = 0;
    std::int32_t timescale = 0;
};

class StreamConfiguration {
public:
    void setPixelFormat(std::uint32_t code) { pixelFormat_ = code; }
    void setMinimumFrameInterval(Time interval) { minimumFrameInterval_ = interval; }
    void setQueueDepth(int depth) { queueDepth_ = depth; }
    void setShowsCursor(bool shows) { showsCursor_ = shows; }
    void setCapturesAudio(bool captures) { capturesAudio_ = captures; }
    void setWidth(std::int64_t pixels) { width_ = pixels; }
    void setHeight(std::int64_t pixels) { height_ = pixels; }
    void setScalesToFit(bool scales) { scalesToFit_ = scales; }

    std::uint32_t pixelFormat() const { return pixelFormat_; }
    Time minimumFrameInterval() const { return minimumFrameInterval_; }
    int queueDepth() const { return queueDepth_; }
    bool showsCursor() const { return showsCursor_; }
    bool capturesAudio() const { return capturesAudio_; }
    std::int64_t width() const { return width_; }
    std::int64_t height() const { return height_; }
    bool scalesToFit() const { return scalesToFit_; }

private:
    std::uint32_t pixelFormat_ = 0;
    Time minimumFrameInterval_{};
    int queueDepth_ = 8;
    bool showsCursor_ = true;
    bool capturesAudio_ = false;
    std::int64_t width_ = 0;
    std::int64_t height_ = 0;
    bool scalesToFit_ = false;
};

// The four-character code of 32-bit BGRA pixels, the one format a stream delivers.
inline constexpr std::uint32_t kPixelFormatBGRA = 0x42475241;  // 'BGRA'

// One captured frame: 32-bit BGRA pixels in shareable memory (a memfd), passed by reference and never copied.
class PixelBuffer {
public:
    // A new buffer of width × height BGRA pixels with rows of width × 4 bytes; nothing when memory is refused.
    static std::shared_ptr<PixelBuffer> create(std::uint32_t width, std::uint32_t height);

    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    std::size_t bytesPerRow() const { return stride_; }
    std::uint32_t pixelFormat() const { return pixelFormat_; }
    std::uint8_t* bytes() { return bytes_; }
    const std::uint8_t* bytes() const { return bytes_; }
    std::size_t byteCount() const { return stride_ * height_; }
    // The memfd that holds the pixels, for providers that share it without copying; owned by the buffer.
    int fd() const { return fd_; }
    // Where the pixels begin within the memfd.
    std::size_t fdOffset() const { return 0; }

private:
    friend class PixelBufferPool;
    static std::unique_ptr<PixelBuffer> allocate(std::uint32_t width, std::uint32_t height);
    PixelBuffer(int fd, std::uint8_t* mapping, std::size_t mappedSize, std::uint32_t width, std::uint32_t height,
                std::size_t stride, std::uint32_t pixelFormat);

    int fd_;
    std::uint8_t* bytes_;
    std::size_t mappedSize_;
    std::uint32_t width_;
    std::uint32_t height_;
    std::size_t stride_;
    std::uint32_t pixelFormat_;
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// Per-sample attachments as the service hands them over: nominally an array of dictionaries from frame-information
// keys to values of any type. Every layer may hold something else, which readers must tolerate.
using AttachmentValue = std::variant<std::monostate, bool, std::int64_t, double, std::string>;
using AttachmentDictionary = std::map<std::string, AttachmentValue, std::less<>>;
using AttachmentElement = std::variant<AttachmentDictionary, AttachmentValue>;
using AttachmentArray = std::vector<AttachmentElement>;
using Attachments = std::variant<AttachmentArray, AttachmentValue>;

// The frame-information key of the frame status; an integer 0 means a complete frame.
inline constexpr std::string_view kFrameInfoStatus = "SCStreamFrameInfoStatus";

struct SampleBuffer {
    bool valid = true;
    std::shared_ptr<const Attachments> attachments;  // none when the sample carries no attachments
    PixelBufferRef imageBuffer;

    bool isValid() const { return valid; }
};

class Stream;

// Receives the samples of a stream, one at a time, on the queue given when it was registered.
class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    virtual void streamDidOutputSampleBuffer(Stream& stream, const SampleBuffer& sample, int outputType) = 0;
};

// Receives a stream's report that it stopped because of an error, on a thread of the provider's choosing.
class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    virtual void streamDidStopWithError(Stream& stream, const Error& error) = 0;
};

using StreamCompletion = std::function<void(std::optional<Error>)>;

// A capture stream of one window. Outputs and the delegate are held weakly: the stream never keeps its owner alive.
class Stream {
public:
    virtual ~Stream() = default;

    // Registers the output for samples of the given type, delivered on the queue. Gives the error on failure.
    virtual std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, int outputType,
                                                 std::shared_ptr<SerialQueue> sampleHandlerQueue) = 0;
    // Each completion runs exactly once, on any thread, with no error on success.
    virtual void startCapture(StreamCompletion completion) = 0;
    virtual void stopCapture(StreamCompletion completion) = 0;
};

// The provider of windows and streams.
class ScreenCaptureService {
public:
    virtual ~ScreenCaptureService() = default;

    // Lists the shareable windows. The completion runs exactly once, on any thread.
    virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                     std::function<void(ShareableContentAnswer)> completion) = 0;
    // Creation does not fail; a stream that cannot work says so when it is started.
    virtual std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                               std::weak_ptr<StreamDelegate> delegate) = 0;
};

// This process's own identifier, to tell its own windows apart.
std::int32_t currentProcessID();

}  // namespace kestrova::platform
