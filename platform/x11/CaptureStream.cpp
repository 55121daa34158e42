#include "CaptureStream.hpp"

#include "Connection.hpp"
#include "FrameScaler.hpp"
#include "FrameServer.hpp"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>

namespace kestrova::platform::x11 {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kPixelFormatBGRA = 0x42475241;  // 'BGRA'
constexpr int kOutputTypeScreen = 0;
constexpr std::int64_t kFrameStatusComplete = 0;
// Output sizes past these are refused rather than mapped.
constexpr std::int64_t kLargestSide = 32768;
constexpr std::int64_t kLargestFrameBytes = std::int64_t{1} << 30;
constexpr std::chrono::nanoseconds kShortestInterval{1'000'000'000 / 60};
constexpr std::chrono::nanoseconds kLongestInterval = std::chrono::hours(1);
constexpr int kDeepestQueue = 8;

Error windowGoneError() {
    return makeError(ErrorCode::windowGone, "La ventana que se quería capturar ya no existe");
}
Error windowClosedError() { return makeError(ErrorCode::windowGone, "La ventana capturada se cerró"); }
Error unsupportedError() {
    return makeError(ErrorCode::unsupportedWindow,
                     "La ventana usa un formato de píxeles que no se puede capturar como BGRA de 32 bits");
}
Error missingExtensionError(const char* extension) {
    return makeError(ErrorCode::missingExtension, std::string("El servidor gráfico X no ofrece la extensión ") +
                                                      extension + ", necesaria para capturar ventanas");
}

// What the stream needs of its configuration, checked once.
struct Settings {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::chrono::nanoseconds interval{};
    std::size_t queueDepth = 0;
};

std::variant<Settings, Error> settingsOf(const StreamConfiguration& configuration) {
    if (configuration.pixelFormat() != kPixelFormatBGRA) {
        return makeError(ErrorCode::invalidRequest, "La captura solo puede entregar píxeles BGRA de 32 bits");
    }
    const std::int64_t w = configuration.width();
    const std::int64_t h = configuration.height();
    if (w < 1 || h < 1 || w > kLargestSide || h > kLargestSide || w * h * 4 > kLargestFrameBytes) {
        return makeError(ErrorCode::invalidRequest, "El tamaño de salida pedido para la captura no es válido");
    }
    Settings settings;
    settings.width = static_cast<std::uint32_t>(w);
    settings.height = static_cast<std::uint32_t>(h);
    const Time t = configuration.minimumFrameInterval();
    const double seconds = t.value > 0 && t.timescale > 0 ? double(t.value) / t.timescale : 0;
    settings.interval = std::chrono::nanoseconds(static_cast<std::int64_t>(
        std::clamp(seconds * 1e9, double(kShortestInterval.count()), double(kLongestInterval.count()))));
    settings.queueDepth = static_cast<std::size_t>(std::clamp(configuration.queueDepth(), 1, kDeepestQueue));
    return settings;
}

struct Output {
    std::weak_ptr<StreamOutput> output;
    int type = 0;
    std::shared_ptr<SerialQueue> queue;
};

// idle → starting → running → ended (on its own) or stopped (asked to); a failed start is ended too.
enum class Phase { idle, starting, running, ended, stopped };

// What the stream handle and its capture thread share; the last of the two to let go frees it.
struct Shared {
    Shared(std::string displayName, xcb_window_t captured, std::weak_ptr<StreamDelegate> streamDelegate)
        : display(std::move(displayName)),
          window(captured),
          delegate(std::move(streamDelegate)),
          wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Shared() {
        if (wakeFd >= 0) close(wakeFd);
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    void wake() const {
        const std::uint64_t one = 1;
        (void)!write(wakeFd, &one, sizeof one);
    }
    bool stopWanted() {
        std::lock_guard lock(mutex);
        return abandoned || !stopWaiters.empty();
    }

    const std::string display;
    const xcb_window_t window;
    const std::weak_ptr<StreamDelegate> delegate;
    const int wakeFd;

    std::mutex mutex;
    Phase phase = Phase::idle;
    std::vector<StreamCompletion> stopWaiters;
    std::vector<Output> outputs;
    bool abandoned = false;  // the handle is gone: stop without telling anyone
};

// Memory the X server writes pictures into: a memfd attached as an MIT-SHM segment, grown on demand.
class SharedSegment {
public:
    ~SharedSegment() { unmap(); }

    // Room for at least that many bytes; false when memory or the server refuses.
    bool reserve(xcb_connection_t* c, std::size_t bytes) {
        if (bytes <= size_) return true;
        if (segment_ != 0) xcb_shm_detach(c, segment_);
        segment_ = 0;
        unmap();
        const long page = sysconf(_SC_PAGESIZE);
        const std::size_t size = (bytes + page - 1) / page * page;
        fd_ = memfd_create("kestrova-x11-capture", MFD_CLOEXEC);
        if (fd_ < 0 || ftruncate(fd_, static_cast<off_t>(size)) != 0) return false;
        void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (mapping == MAP_FAILED) return false;
        data_ = static_cast<std::uint8_t*>(mapping);
        size_ = size;
        // libxcb closes the descriptor it sends, so it gets a copy.
        const int sent = dup(fd_);
        if (sent < 0) return false;
        const xcb_shm_seg_t segment = xcb_generate_id(c);
        Reply<xcb_generic_error_t> error(xcb_request_check(c, xcb_shm_attach_fd_checked(c, segment, sent, 0)));
        if (error) return false;
        segment_ = segment;
        return true;
    }
    xcb_shm_seg_t id() const { return segment_; }
    const std::uint8_t* data() const { return data_; }

private:
    void unmap() {
        if (data_ != nullptr) munmap(data_, size_);
        if (fd_ >= 0) close(fd_);
        data_ = nullptr;
        size_ = 0;
        fd_ = -1;
    }

    int fd_ = -1;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    xcb_shm_seg_t segment_ = 0;
};

// The capture thread's side: the connection, the window's named pixmap, its damage and the frame pool. Server
// resources die with the connection, so closing it is the whole clean-up there.
class Capturer {
public:
    Capturer(std::shared_ptr<Shared> shared, std::weak_ptr<Stream> handle, const Settings& settings)
        : shared_(std::move(shared)), handle_(std::move(handle)), settings_(settings) {}

    std::optional<Error> open();
    // Runs until asked to stop, or until the window or the connection ends; gives the error that ended it.
    std::optional<Error> run();

private:
    std::optional<Error> handleEvents();
    std::optional<Error> nameWindowPixmap();
    void grab(Clock::time_point now);
    void deliver(const PixelBufferRef& buffer);
    void wait(std::optional<Clock::time_point> deadline);

    std::shared_ptr<Shared> shared_;
    std::weak_ptr<Stream> handle_;
    Settings settings_;
    std::unique_ptr<Connection> connection_;
    xcb_connection_t* c_ = nullptr;
    xcb_pixmap_t pixmap_ = XCB_PIXMAP_NONE;
    xcb_damage_damage_t damage_ = 0;
    std::uint8_t damageNotify_ = 0;
    std::uint8_t depth_ = 0;
    std::uint16_t border_ = 0;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    SharedSegment segment_;
    std::shared_ptr<PixelBufferPool> pool_;
    // Frames handed out and not yet released by every consumer; at most the queue depth.
    std::vector<PixelBufferRef> held_;
    // The next tick must emit: set by damage, start, map and resize.
    bool dirty_ = true;
    Clock::time_point due_{};
};

std::optional<Error> Capturer::open() {
    auto opened = Connection::open(shared_->display);
    if (auto* error = std::get_if<Error>(&opened)) return *error;
    connection_ = std::move(std::get<std::unique_ptr<Connection>>(opened));
    c_ = connection_->get();

    const auto* composite = xcb_get_extension_data(c_, &xcb_composite_id);
    const auto* damage = xcb_get_extension_data(c_, &xcb_damage_id);
    const auto* shm = xcb_get_extension_data(c_, &xcb_shm_id);
    if (!composite || !composite->present) return missingExtensionError("Composite");
    if (!damage || !damage->present) return missingExtensionError("DAMAGE");
    if (!shm || !shm->present) return missingExtensionError("MIT-SHM");
    damageNotify_ = static_cast<std::uint8_t>(damage->first_event + XCB_DAMAGE_NOTIFY);

    auto compositeVersion = xcb_composite_query_version(c_, 0, 4);
    auto damageVersion = xcb_damage_query_version(c_, 1, 1);
    auto shmVersion = xcb_shm_query_version(c_);
    auto attributesCookie = xcb_get_window_attributes(c_, shared_->window);
    auto geometryCookie = xcb_get_geometry(c_, shared_->window);
    Reply<xcb_composite_query_version_reply_t> compositeReply(
        xcb_composite_query_version_reply(c_, compositeVersion, nullptr));
    Reply<xcb_damage_query_version_reply_t> damageReply(xcb_damage_query_version_reply(c_, damageVersion, nullptr));
    Reply<xcb_shm_query_version_reply_t> shmReply(xcb_shm_query_version_reply(c_, shmVersion, nullptr));
    xcb_generic_error_t* attributesError = nullptr;
    xcb_generic_error_t* geometryError = nullptr;
    Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c_, attributesCookie, &attributesError));
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c_, geometryCookie, &geometryError));
    std::free(attributesError);
    std::free(geometryError);
    if (connection_->broken()) return connectionLost(connection_->displayName());
    // Naming pixmaps came with Composite 0.2, passing descriptors with MIT-SHM 1.2.
    if (!compositeReply || (compositeReply->major_version == 0 && compositeReply->minor_version < 2)) {
        return missingExtensionError("Composite 0.2");
    }
    if (!damageReply) return missingExtensionError("DAMAGE");
    if (!shmReply || (shmReply->major_version == 1 && shmReply->minor_version < 2)) {
        return missingExtensionError("MIT-SHM 1.2");
    }
    if (!attributes || !geometry) return windowGoneError();
    if (attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) return unsupportedError();

    depth_ = geometry->depth;
    border_ = geometry->border_width;
    if (depth_ != 24 && depth_ != 32) return unsupportedError();
    const xcb_setup_t* setup = xcb_get_setup(c_);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return unsupportedError();
    bool thirtyTwoBits = false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == depth_) thirtyTwoBits = it.data->bits_per_pixel == 32;
    }
    if (!thirtyTwoBits) return unsupportedError();

    // Structure events first, so that a window destroyed from here on is noticed. Exposure tells when the window
    // comes on screen without a map of its own (a parent of it mapped): it then has a new pixmap.
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_EXPOSURE;
    Reply<xcb_generic_error_t> selectError(
        xcb_request_check(c_, xcb_change_window_attributes_checked(c_, shared_->window, XCB_CW_EVENT_MASK, &mask)));
    if (selectError) return windowGoneError();
    Reply<xcb_generic_error_t> redirectError(xcb_request_check(
        c_, xcb_composite_redirect_window_checked(c_, shared_->window, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
    if (redirectError) return redirectError->error_code == XCB_WINDOW ? windowGoneError() : unsupportedError();
    damage_ = xcb_generate_id(c_);
    xcb_damage_create(c_, damage_, shared_->window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    if (auto error = nameWindowPixmap()) return error;

    pool_ = PixelBufferPool::create(settings_.width, settings_.height, settings_.queueDepth);
    due_ = Clock::now();
    return std::nullopt;
}

// Takes the window's current pixmap: at start, and after every map, exposure and resize, which give the window a
// new one. A window that is not on screen (hidden, on another desktop, not yet shown by its window manager) has
// none: the stream waits for it without delivering anything, whether at start or later.
std::optional<Error> Capturer::nameWindowPixmap() {
    if (pixmap_ != XCB_PIXMAP_NONE) xcb_free_pixmap(c_, pixmap_);
    pixmap_ = XCB_PIXMAP_NONE;
    const xcb_pixmap_t pixmap = xcb_generate_id(c_);
    Reply<xcb_generic_error_t> error(
        xcb_request_check(c_, xcb_composite_name_window_pixmap_checked(c_, shared_->window, pixmap)));
    if (error) {
        if (error->error_code == XCB_MATCH) return std::nullopt;
        return error->error_code == XCB_WINDOW ? windowGoneError() : unsupportedError();
    }
    pixmap_ = pixmap;
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, pixmap_), nullptr));
    Reply<xcb_get_geometry_reply_t> window(
        xcb_get_geometry_reply(c_, xcb_get_geometry(c_, shared_->window), nullptr));
    if (!geometry || !window) return windowGoneError();
    // The pixmap includes the border; the picture is what lies inside it.
    border_ = window->border_width;
    if (geometry->width <= 2 * border_ || geometry->height <= 2 * border_) return unsupportedError();
    width_ = geometry->width - 2u * border_;
    height_ = geometry->height - 2u * border_;
    if (!segment_.reserve(c_, std::size_t{width_} * height_ * 4)) {
        return makeError(ErrorCode::missingExtension, "El servidor gráfico X no aceptó memoria compartida (MIT-SHM)");
    }
    dirty_ = true;
    return std::nullopt;
}

std::optional<Error> Capturer::handleEvents() {
    for (;;) {
        bool renamed = false;
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c_)}) {
            const std::uint8_t type = event->response_type & 0x7F;
            if (type == 0) {
                // Errors of requests sent without waiting; a missing window is the one that matters.
                if (reinterpret_cast<const xcb_generic_error_t*>(event.get())->error_code == XCB_WINDOW) {
                    return windowClosedError();
                }
            } else if (type == XCB_DESTROY_NOTIFY) {
                // The named pixmap outlives its window and would keep yielding stale frames.
                if (reinterpret_cast<const xcb_destroy_notify_event_t*>(event.get())->window == shared_->window) {
                    return windowClosedError();
                }
            } else if (type == XCB_CONFIGURE_NOTIFY) {
                const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event.get());
                renamed = renamed || (configure->window == shared_->window &&
                                      (configure->width != width_ || configure->height != height_ ||
                                       configure->border_width != border_));
            } else if (type == XCB_MAP_NOTIFY) {
                renamed = renamed || reinterpret_cast<const xcb_map_notify_event_t*>(event.get())->window ==
                                         shared_->window;
            } else if (type == XCB_EXPOSE) {
                renamed = renamed || reinterpret_cast<const xcb_expose_event_t*>(event.get())->window ==
                                         shared_->window;
            } else if (type == damageNotify_) {
                // Drawing on a window that had no picture means that it has one now.
                dirty_ = true;
                renamed = renamed || pixmap_ == XCB_PIXMAP_NONE;
            }
        }
        if (connection_->broken()) return connectionLost(connection_->displayName());
        if (!renamed) return std::nullopt;
        if (auto error = nameWindowPixmap()) return error;
        // Naming waited for replies, and events may have been queued meanwhile: read them before sleeping.
    }
}

std::optional<Error> Capturer::run() {
    for (;;) {
        if (auto error = handleEvents()) return error;
        if (shared_->stopWanted()) return std::nullopt;
        const bool ready = dirty_ && pixmap_ != XCB_PIXMAP_NONE;
        const auto now = Clock::now();
        if (ready && now >= due_) {
            grab(now);
        } else {
            wait(ready ? std::optional(due_) : std::nullopt);
        }
    }
}

void Capturer::grab(Clock::time_point now) {
    due_ = std::max(due_ + settings_.interval, now);
    // The frame server's own buffer when it offers one: the frame is then written once, where consumers read it.
    // Those buffers are counted by the frame server; the capture's own are held to the queue depth.
    PixelBufferRef buffer = acquireFrameBuffer(settings_.width, settings_.height);
    const bool ownBuffer = !buffer;
    if (ownBuffer) {
        std::erase_if(held_, [](const PixelBufferRef& frame) { return frame.use_count() == 1; });
        // A consumer that holds every frame of the queue depth makes this tick drop; the damage waits for the next.
        if (held_.size() >= settings_.queueDepth) return;
        buffer = pool_->acquire();
    }
    if (!buffer) return;

    // Damage is cleared before the read, so drawing that lands after it marks the next tick.
    xcb_damage_subtract(c_, damage_, XCB_NONE, XCB_NONE);
    dirty_ = false;
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
        c_,
        xcb_shm_get_image(c_, pixmap_, static_cast<std::int16_t>(border_), static_cast<std::int16_t>(border_),
                          static_cast<std::uint16_t>(width_), static_cast<std::uint16_t>(height_), ~0u,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, segment_.id(), 0),
        &error));
    // A read that fails (a window in the middle of a resize) drops the frame; its ConfigureNotify follows.
    std::free(error);
    if (!image) return;
    scaleToFit(segment_.data(), width_, height_, std::size_t{width_} * 4, depth_ == 24, *buffer);
    if (ownBuffer) held_.push_back(buffer);
    deliver(buffer);
}

void Capturer::deliver(const PixelBufferRef& buffer) {
    SampleBuffer sample;
    sample.attachments =
        AttachmentArray{AttachmentDictionary{{std::string(kFrameInfoStatus), AttachmentValue(kFrameStatusComplete)}}};
    sample.imageBuffer = buffer;
    std::vector<Output> outputs;
    {
        std::lock_guard lock(shared_->mutex);
        outputs = shared_->outputs;
    }
    for (const auto& output : outputs) {
        if (output.type != kOutputTypeScreen) continue;
        output.queue->async([handle = handle_, receiver = output.output, sample] {
            auto stream = handle.lock();
            auto target = receiver.lock();
            if (stream && target) target->streamDidOutputSampleBuffer(*stream, sample, kOutputTypeScreen);
        });
    }
}

void Capturer::wait(std::optional<Clock::time_point> deadline) {
    pollfd fds[2] = {{xcb_get_file_descriptor(c_), POLLIN, 0}, {shared_->wakeFd, POLLIN, 0}};
    timespec timeout{};
    if (deadline) {
        const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    (void)ppoll(fds, 2, deadline ? &timeout : nullptr, nullptr);
    if ((fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        (void)!read(shared_->wakeFd, &count, sizeof count);
    }
}

// The capture thread: start, run, and report the end only once every resource of the stream is released.
void captureThread(std::shared_ptr<Shared> shared, std::weak_ptr<Stream> handle, Settings settings,
                   StreamCompletion started) {
    blockBrokenPipeSignal();
    std::optional<Error> failure;
    std::optional<Error> ended;
    {
        Capturer capturer(shared, handle, settings);
        failure = capturer.open();
        {
            std::lock_guard lock(shared->mutex);
            shared->phase = failure ? Phase::ended : Phase::running;
        }
        started(failure);
        started = nullptr;
        if (!failure) ended = capturer.run();
    }
    std::vector<StreamCompletion> waiters;
    bool report = false;
    {
        std::lock_guard lock(shared->mutex);
        waiters.swap(shared->stopWaiters);
        const bool stopped = !waiters.empty() || shared->abandoned;
        shared->phase = stopped ? Phase::stopped : Phase::ended;
        report = !stopped && ended.has_value();
    }
    if (report) {
        auto delegate = shared->delegate.lock();
        auto stream = handle.lock();
        if (delegate && stream) delegate->streamDidStopWithError(*stream, *ended);
    }
    for (auto& waiter : waiters) waiter(std::nullopt);
}

class X11Stream final : public Stream, public std::enable_shared_from_this<X11Stream> {
public:
    X11Stream(std::string display, xcb_window_t window, const StreamConfiguration& configuration,
              std::weak_ptr<StreamDelegate> delegate)
        : shared_(std::make_shared<Shared>(std::move(display), window, std::move(delegate))),
          configuration_(configuration) {}

    // A stream dropped while running stops on its own thread, silently.
    ~X11Stream() override {
        std::lock_guard lock(shared_->mutex);
        shared_->abandoned = true;
        shared_->wake();
    }

    std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, int outputType,
                                         std::shared_ptr<SerialQueue> sampleHandlerQueue) override {
        if (!sampleHandlerQueue) {
            return makeError(ErrorCode::invalidRequest, "Falta la cola en la que entregar los cuadros capturados");
        }
        std::lock_guard lock(shared_->mutex);
        shared_->outputs.push_back(Output{std::move(output), outputType, std::move(sampleHandlerQueue)});
        return std::nullopt;
    }

    void startCapture(StreamCompletion completion) override {
        std::optional<Error> refusal;
        {
            std::lock_guard lock(shared_->mutex);
            auto settings = settingsOf(configuration_);
            if (shared_->phase != Phase::idle) {
                refusal = makeError(ErrorCode::invalidRequest, "La captura de esta ventana ya se había iniciado");
            } else if (shared_->wakeFd < 0) {
                refusal = makeError(ErrorCode::invalidRequest, "No se pudo preparar la captura de la ventana");
            } else if (auto* error = std::get_if<Error>(&settings)) {
                refusal = *error;
            } else {
                try {
                    std::thread(captureThread, shared_, weak_from_this(), std::get<Settings>(settings), completion)
                        .detach();
                    shared_->phase = Phase::starting;
                } catch (const std::system_error&) {
                    refusal = makeError(ErrorCode::invalidRequest, "No se pudo preparar la captura de la ventana");
                }
            }
            if (refusal && shared_->phase == Phase::idle) shared_->phase = Phase::ended;
        }
        if (refusal) completion(std::move(refusal));
    }

    void stopCapture(StreamCompletion completion) override {
        std::optional<Error> answer;
        {
            std::lock_guard lock(shared_->mutex);
            switch (shared_->phase) {
                case Phase::idle:
                    answer = makeError(ErrorCode::invalidRequest, "La captura de esta ventana no se había iniciado");
                    break;
                case Phase::starting:
                case Phase::running:
                    // Every stop asked for before the thread ends completes when it has released everything.
                    shared_->stopWaiters.push_back(std::move(completion));
                    shared_->wake();
                    return;
                case Phase::ended:
                    // A stream that ended on its own stops at once, the first time.
                    shared_->phase = Phase::stopped;
                    break;
                case Phase::stopped:
                    answer = makeError(ErrorCode::invalidRequest, "La captura de esta ventana ya estaba detenida");
                    break;
            }
        }
        completion(std::move(answer));
    }

private:
    std::shared_ptr<Shared> shared_;
    StreamConfiguration configuration_;
};

}  // namespace

std::shared_ptr<Stream> makeCaptureStream(std::string display, std::uint32_t window,
                                          const StreamConfiguration& configuration,
                                          std::weak_ptr<StreamDelegate> delegate) {
    return std::make_shared<X11Stream>(std::move(display), window, configuration, std::move(delegate));
}

}  // namespace kestrova::platform::x11
