#pragma once

// The status item over QSystemTrayIcon: its title is the tray icon's tooltip and is drawn into the icon; its menu
// is one QMenu, refilled from every installed model.

#include "AppFramework.hpp"

#include <memory>
#include <string_view>

#include <QIcon>
#include <QString>

class QDBusServiceWatcher;
class QMenu;
class QSystemTrayIcon;

namespace kestrova::platform::qt {

// The service through which a panel hosts status items.
inline constexpr const char* kStatusNotifierWatcherService = "org.kde.StatusNotifierWatcher";

// The icon for a title: its initial, light on a dark rounded square. A tray icon is a small square; the whole
// title travels as the tooltip and the item's title.
QIcon drawTitleIcon(const QString& title);

class QtStatusItem final : public StatusItem, private StatusBarButton {
public:
    explicit QtStatusItem(std::weak_ptr<Application> application);
    ~QtStatusItem() override;
    QtStatusItem(const QtStatusItem&) = delete;
    QtStatusItem& operator=(const QtStatusItem&) = delete;

    StatusBarButton* button() override { return this; }
    void setMenu(Menu menu) override;

    QMenu& menu() { return *menu_; }
    // Absent until a status-item host is on the session bus.
    QSystemTrayIcon* trayIcon() { return trayIcon_.get(); }
    const QString& title() const { return title_; }

private:
    void setTitle(std::string_view title) override;
    void showTrayIcon();

    std::weak_ptr<Application> application_;
    // Qt exports a tray icon's menu once: the same QMenu serves every model, and outlives the icon.
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QDBusServiceWatcher> hostWatcher_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    QString title_;
};

}  // namespace kestrova::platform::qt
