#include "CaptureStream.hpp"

#include "Connection.hpp"
#include "SharedSegment.hpp"
#include "common/FrameScaler.hpp"
#include "common/PacedCapture.hpp"

#include <cstdlib>

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>

namespace kestrova::platform::x11 {

namespace {

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

// The capture thread's side: the connection, the window's named pixmap and its damage. Server resources die with
// the connection, so closing it is the whole clean-up there.
class Capturer final : public PacedWorker {
public:
    Capturer(CaptureChannel& channel, const CaptureSettings& settings, std::string display, xcb_window_t window)
        : PacedWorker(channel, settings), display_(std::move(display)), window_(window) {}

    std::optional<Error> open() override;

private:
    // Handles the window's events; the error of the window or the connection ending, if one did.
    std::optional<Error> update() override;
    bool ready() const override { return dirty_ && pixmap_ != XCB_PIXMAP_NONE; }
    void take() override;
    void wait(std::optional<FramePacer::Clock::time_point> deadline) override;
    std::optional<Error> nameWindowPixmap();

    const std::string display_;
    const xcb_window_t window_;
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
    AttachedFrames frames_;
    // The next tick must emit: set by damage, start, map and resize.
    bool dirty_ = true;
};

std::optional<Error> Capturer::open() {
    blockBrokenPipeSignal();
    auto opened = Connection::open(display_);
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
    auto attributesCookie = xcb_get_window_attributes(c_, window_);
    auto geometryCookie = xcb_get_geometry(c_, window_);
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
        xcb_request_check(c_, xcb_change_window_attributes_checked(c_, window_, XCB_CW_EVENT_MASK, &mask)));
    if (selectError) return windowGoneError();
    Reply<xcb_generic_error_t> redirectError(xcb_request_check(
        c_, xcb_composite_redirect_window_checked(c_, window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
    if (redirectError) return redirectError->error_code == XCB_WINDOW ? windowGoneError() : unsupportedError();
    damage_ = xcb_generate_id(c_);
    xcb_damage_create(c_, damage_, window_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    if (auto error = nameWindowPixmap()) return error;

    restartPacing();
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
        xcb_request_check(c_, xcb_composite_name_window_pixmap_checked(c_, window_, pixmap)));
    if (error) {
        if (error->error_code == XCB_MATCH) return std::nullopt;
        return error->error_code == XCB_WINDOW ? windowGoneError() : unsupportedError();
    }
    pixmap_ = pixmap;
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, pixmap_), nullptr));
    Reply<xcb_get_geometry_reply_t> window(
        xcb_get_geometry_reply(c_, xcb_get_geometry(c_, window_), nullptr));
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

std::optional<Error> Capturer::update() {
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
                if (reinterpret_cast<const xcb_destroy_notify_event_t*>(event.get())->window == window_) {
                    return windowClosedError();
                }
            } else if (type == XCB_CONFIGURE_NOTIFY) {
                const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event.get());
                renamed = renamed || (configure->window == window_ &&
                                      (configure->width != width_ || configure->height != height_ ||
                                       configure->border_width != border_));
            } else if (type == XCB_MAP_NOTIFY) {
                renamed = renamed || reinterpret_cast<const xcb_map_notify_event_t*>(event.get())->window ==
                                         window_;
            } else if (type == XCB_EXPOSE) {
                renamed = renamed || reinterpret_cast<const xcb_expose_event_t*>(event.get())->window ==
                                         window_;
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

void Capturer::take() {
    // A consumer that holds every frame of the queue depth makes this tick drop; the damage waits for the next.
    PixelBufferRef buffer = channel_.acquireFrame();
    if (!buffer) return;

    // At one to one, the X server writes the picture straight into the frame: nothing is copied on this side.
    const bool oneToOne = width_ == settings_.width && height_ == settings_.height &&
                          buffer->bytesPerRow() == std::size_t{width_} * 4;
    const xcb_shm_seg_t direct = oneToOne ? frames_.segmentFor(c_, buffer) : 0;

    // Damage is cleared before the read, so drawing that lands after it marks the next tick.
    xcb_damage_subtract(c_, damage_, XCB_NONE, XCB_NONE);
    dirty_ = false;
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
        c_,
        xcb_shm_get_image(c_, pixmap_, static_cast<std::int16_t>(border_), static_cast<std::int16_t>(border_),
                          static_cast<std::uint16_t>(width_), static_cast<std::uint16_t>(height_), ~0u,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, direct != 0 ? direct : segment_.id(),
                          direct != 0 ? static_cast<std::uint32_t>(buffer->fdOffset()) : 0),
        &error));
    // A read that fails (a window in the middle of a resize) drops the frame; its ConfigureNotify follows.
    std::free(error);
    if (!image) return;
    if (direct == 0) {
        scaleToFit(segment_.data(), width_, height_, std::size_t{width_} * 4, depth_ == 24, *buffer);
    } else if (depth_ == 24) {
        makeOpaque(*buffer);
    }
    channel_.deliver(buffer);
}

void Capturer::wait(std::optional<FramePacer::Clock::time_point> deadline) {
    pollfd connection{xcb_get_file_descriptor(c_), POLLIN, 0};
    channel_.wait({&connection, 1}, deadline);
}

}  // namespace

std::shared_ptr<Stream> makeCaptureStream(std::string display, std::uint32_t window,
                                          const StreamConfiguration& configuration,
                                          std::weak_ptr<StreamDelegate> delegate,
                                          std::weak_ptr<FrameBufferProvider> frameBuffers) {
    return makeThreadedStream(
        configuration, std::move(delegate),
        [display = std::move(display), window](CaptureChannel& channel, const CaptureSettings& settings) {
            return std::make_unique<Capturer>(channel, settings, display, window);
        },
        [](std::string description) { return makeError(ErrorCode::invalidRequest, std::move(description)); },
        std::move(frameBuffers));
}

}  // namespace kestrova::platform::x11
