#include "QtTrayPresence.hpp"

#include <cstdlib>
#include <memory>
#include <string>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QString>

namespace kestrova::platform::qt {

namespace {

const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

QString watcherService() { return QString::fromLatin1(kStatusNotifierWatcherService); }

template <typename Reply>
struct FreeReply {
    void operator()(Reply* reply) const { std::free(reply); }
};

xcb_window_t rootOfScreen(xcb_connection_t* connection, int screenNumber) {
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; screens.rem > 0; ++i, xcb_screen_next(&screens)) {
        if (i == screenNumber) return screens.data->root;
    }
    return XCB_WINDOW_NONE;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const std::string& name) {
    std::unique_ptr<xcb_intern_atom_reply_t, FreeReply<xcb_intern_atom_reply_t>> reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

}  // namespace

TrayPresence::TrayPresence(std::function<void()> onChange) : onChange_(std::move(onChange)) {
    watchNotifierHost();
    watchEmbedTray();
}

TrayPresence::~TrayPresence() {
    // The notifier watches the connection's socket, so it goes first.
    delete xNotifier_;
    if (x_ != nullptr) xcb_disconnect(x_);
}

void TrayPresence::watchNotifierHost() {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    auto* watcher = new QDBusServiceWatcher(
        watcherService(), bus, QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration,
        this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { askWatcherForHost(); });
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { setNotifierHost(false); });
    // A watcher can be there before any panel has registered as its host.
    bus.connect(watcherService(), kWatcherPath, watcherService(), QStringLiteral("StatusNotifierHostRegistered"), this,
                SLOT(onNotifierHostRegistered()));
    askWatcherForHost();
}

void TrayPresence::askWatcherForHost() {
    auto request = QDBusMessage::createMethodCall(watcherService(), kWatcherPath,
                                                  QStringLiteral("org.freedesktop.DBus.Properties"),
                                                  QStringLiteral("Get"));
    request << watcherService() << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* call = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(request), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        const QDBusPendingReply<QDBusVariant> reply = *finished;
        // No watcher on the bus answers with an error: no host.
        if (!reply.isError()) setNotifierHost(reply.value().variant().toBool());
        finished->deleteLater();
    });
}

void TrayPresence::onNotifierHostRegistered() { setNotifierHost(true); }

void TrayPresence::setNotifierHost(bool present) {
    if (present == notifierHost_) return;
    notifierHost_ = present;
    if (onChange_) onChange_();
}

void TrayPresence::watchEmbedTray() {
    // Qt embeds its icon in an X tray only on its X11 platform.
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
    int screenNumber = 0;
    x_ = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(x_) != 0) {
        xcb_disconnect(x_);
        x_ = nullptr;
        return;
    }
    const auto* fixes = xcb_get_extension_data(x_, &xcb_xfixes_id);
    if (fixes == nullptr || fixes->present == 0) return;
    selectionNotifyEvent_ = static_cast<std::uint8_t>(fixes->first_event + XCB_XFIXES_SELECTION_NOTIFY);
    std::free(xcb_xfixes_query_version_reply(x_, xcb_xfixes_query_version(x_, 5, 0), nullptr));

    const xcb_window_t root = rootOfScreen(x_, screenNumber);
    selection_ = internAtom(x_, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    if (root == XCB_WINDOW_NONE || selection_ == XCB_ATOM_NONE) return;
    xcb_xfixes_select_selection_input(x_, root, selection_,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    embedTray_ = selectionHasOwner();
    xNotifier_ = new QSocketNotifier(xcb_get_file_descriptor(x_), QSocketNotifier::Read, this);
    connect(xNotifier_, &QSocketNotifier::activated, this, [this] { readXEvents(); });
    // The replies above may have brought events along that the socket will not announce again.
    readXEvents();
}

bool TrayPresence::selectionHasOwner() {
    std::unique_ptr<xcb_get_selection_owner_reply_t, FreeReply<xcb_get_selection_owner_reply_t>> reply(
        xcb_get_selection_owner_reply(x_, xcb_get_selection_owner(x_, selection_), nullptr));
    return reply && reply->owner != XCB_WINDOW_NONE;
}

void TrayPresence::readXEvents() {
    bool selectionChanged = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(x_)) {
        if ((event->response_type & 0x7f) == selectionNotifyEvent_) selectionChanged = true;
        std::free(event);
    }
    if (xcb_connection_has_error(x_) != 0) {
        // The X server is gone; Qt's own connection ends the program.
        xNotifier_->setEnabled(false);
        return;
    }
    // A lost owner and a new one can arrive together; the owner now is what counts.
    if (selectionChanged) setEmbedTray(selectionHasOwner());
}

void TrayPresence::setEmbedTray(bool present) {
    if (present == embedTray_) return;
    embedTray_ = present;
    if (onChange_) onChange_();
}

}  // namespace kestrova::platform::qt
