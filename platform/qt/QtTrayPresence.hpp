#pragma once

// Which notification areas the desktop offers at the moment: a StatusNotifierItem host, known to the watcher on the
// session bus, and the XEmbed system tray, the owner of the screen's _NET_SYSTEM_TRAY_S<n> selection. Both are
// followed while they come and go; every change is reported through one callback on the main thread.

#include <cstdint>
#include <functional>

#include <QObject>

class QSocketNotifier;
struct xcb_connection_t;

namespace kestrova::platform::qt {

// The service through which a panel hosts status items.
inline constexpr const char* kStatusNotifierWatcherService = "org.kde.StatusNotifierWatcher";

class TrayPresence final : public QObject {
    Q_OBJECT

public:
    explicit TrayPresence(std::function<void()> onChange);
    ~TrayPresence() override;
    TrayPresence(const TrayPresence&) = delete;
    TrayPresence& operator=(const TrayPresence&) = delete;

    // Both start false and turn true once the bus or the X server has answered.
    bool hasNotifierHost() const { return notifierHost_; }
    bool hasEmbedTray() const { return embedTray_; }

private slots:
    void onNotifierHostRegistered();

private:
    void watchNotifierHost();
    void askWatcherForHost();
    void setNotifierHost(bool present);
    void watchEmbedTray();
    bool selectionHasOwner();
    void readXEvents();
    void setEmbedTray(bool present);

    std::function<void()> onChange_;
    bool notifierHost_ = false;
    bool embedTray_ = false;
    xcb_connection_t* x_ = nullptr;
    std::uint32_t selection_ = 0;
    std::uint8_t selectionNotifyEvent_ = 0;
    QSocketNotifier* xNotifier_ = nullptr;
};

}  // namespace kestrova::platform::qt
