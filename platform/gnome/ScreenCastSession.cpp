#include "ScreenCastSession.hpp"

#include <algorithm>

namespace kestrova::platform::gnome {

namespace {

constexpr const char* kService = "org.gnome.Mutter.ScreenCast";
constexpr const char* kServicePath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kSessionInterface = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kStreamInterface = "org.gnome.Mutter.ScreenCast.Stream";
constexpr std::uint32_t kCursorHidden = 0;

Error refused(const CallFailure& failure) {
    if (failure.noOwner()) {
        return makeError(ErrorCode::streamFailed,
                         "GNOME Shell no ofrece la captura de ventanas (ScreenCast de Mutter)");
    }
    return makeError(ErrorCode::streamFailed, "GNOME Shell no pudo capturar la ventana: " + failure.message);
}

}  // namespace

ScreenCastSession::ScreenCastSession(GDBusConnection* connection, std::string path)
    : connection_(connection), path_(std::move(path)), context_(g_main_context_new()) {
    // Sources attached from the bus's own thread wake a context only while some thread owns it.
    g_main_context_acquire(context_);
    GPollFD fds[4];
    gint priority = 0;
    g_main_context_prepare(context_, &priority);
    gint timeout = 0;
    const gint count = std::min(g_main_context_query(context_, priority, &timeout, fds, 4), 4);
    if (count >= 1) wakeFd_ = fds[0].fd;
    g_main_context_check(context_, priority, fds, count);
}

ScreenCastSession::~ScreenCastSession() {
    for (guint id : subscriptions_) {
        if (id != 0) g_dbus_connection_signal_unsubscribe(connection_, id);
    }
    if (started_ && !closed_ && !serviceGone_) {
        callMethod(connection_, kService, path_.c_str(), kSessionInterface, "Stop", nullptr, "()");
    }
    dispatch();
    g_main_context_release(context_);
    g_main_context_unref(context_);
}

std::variant<std::unique_ptr<ScreenCastSession>, Error> ScreenCastSession::record(GDBusConnection* connection,
                                                                                   std::uint64_t windowID) {
    GVariantBuilder none;
    g_variant_builder_init(&none, G_VARIANT_TYPE_VARDICT);
    auto created = callMethod(connection, kService, kServicePath, "org.gnome.Mutter.ScreenCast", "CreateSession",
                              g_variant_new("(a{sv})", &none), "(o)");
    if (auto* failure = std::get_if<CallFailure>(&created)) return refused(*failure);
    const gchar* sessionPath = nullptr;
    g_variant_get(std::get<Variant>(created).get(), "(&o)", &sessionPath);
    std::unique_ptr<ScreenCastSession> session(new ScreenCastSession(connection, sessionPath));

    GVariantBuilder window;
    g_variant_builder_init(&window, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&window, "{sv}", "window-id", g_variant_new_uint64(windowID));
    g_variant_builder_add(&window, "{sv}", "cursor-mode", g_variant_new_uint32(kCursorHidden));
    auto recorded = callMethod(connection, kService, sessionPath, kSessionInterface, "RecordWindow",
                               g_variant_new("(a{sv})", &window), "(o)");
    if (auto* failure = std::get_if<CallFailure>(&recorded)) return refused(*failure);
    const gchar* streamPath = nullptr;
    g_variant_get(std::get<Variant>(recorded).get(), "(&o)", &streamPath);
    // Subscribed before the start, which makes the stream announce its node.
    session->subscribe(streamPath);

    auto started = callMethod(connection, kService, sessionPath, kSessionInterface, "Start", nullptr, "()");
    if (auto* failure = std::get_if<CallFailure>(&started)) return refused(*failure);
    session->started_ = true;
    return session;
}

void ScreenCastSession::subscribe(const std::string& streamPath) {
    g_main_context_push_thread_default(context_);
    // By path and interface, not by sender: the paths are this session's alone.
    subscriptions_[0] = g_dbus_connection_signal_subscribe(connection_, nullptr, kSessionInterface, "Closed",
                                                           path_.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                           &onClosed, this, nullptr);
    subscriptions_[1] = g_dbus_connection_signal_subscribe(connection_, nullptr, kStreamInterface,
                                                           "PipeWireStreamAdded", streamPath.c_str(), nullptr,
                                                           G_DBUS_SIGNAL_FLAGS_NONE, &onStreamAdded, this, nullptr);
    subscriptions_[2] = g_dbus_connection_signal_subscribe(
        connection_, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
        kService, G_DBUS_SIGNAL_FLAGS_NONE, &onOwnerChanged, this, nullptr);
    g_main_context_pop_thread_default(context_);
}

void ScreenCastSession::dispatch() {
    while (g_main_context_iteration(context_, FALSE)) {
    }
}

void ScreenCastSession::onClosed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                                 gpointer self) {
    static_cast<ScreenCastSession*>(self)->closed_ = true;
}

void ScreenCastSession::onStreamAdded(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                      GVariant* parameters, gpointer self) {
    guint32 node = 0;
    g_variant_get(parameters, "(u)", &node);
    static_cast<ScreenCastSession*>(self)->node_ = node;
}

void ScreenCastSession::onOwnerChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                       GVariant* parameters, gpointer self) {
    const gchar* newOwner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", nullptr, nullptr, &newOwner);
    if (newOwner == nullptr || *newOwner == '\0') static_cast<ScreenCastSession*>(self)->serviceGone_ = true;
}

}  // namespace kestrova::platform::gnome
