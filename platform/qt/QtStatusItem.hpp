#pragma once

// The status item over QSystemTrayIcon: its title is the tray icon's tooltip and is drawn into the icon unless the
// icon theme has the program's icon; its menu is one QMenu, refilled from every installed model, opened by the
// right click and by the left one alike.

#include "AppFramework.hpp"

#include <memory>
#include <string_view>

#include <QIcon>
#include <QString>

class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace kestrova::platform::qt {

class TrayPresence;

// The program's icon in the icon theme, used when the theme has it.
inline constexpr const char* kApplicationIconName = "org.kestrova.KestrovaBridge";

// The icon for a title: its initial, light on a dark rounded square. A tray icon is a small square; the whole
// title travels as the tooltip and the item's title.
QIcon drawTitleIcon(const QString& title);

// The status item's icon: the program's icon from the icon theme when the theme has it, else the drawn one.
QIcon statusItemIcon(const QString& title);

class QtStatusItem final : public StatusItem, private StatusBarButton {
public:
    explicit QtStatusItem(std::weak_ptr<Application> application);
    ~QtStatusItem() override;
    QtStatusItem(const QtStatusItem&) = delete;
    QtStatusItem& operator=(const QtStatusItem&) = delete;

    StatusBarButton* button() override { return this; }
    void setMenu(Menu menu) override;

    QMenu& menu() { return *menu_; }
    // Absent until the desktop offers a notification area.
    QSystemTrayIcon* trayIcon() { return trayIcon_.get(); }
    const QString& title() const { return title_; }

private:
    void setTitle(std::string_view title) override;
    void trayPresenceChanged();
    void patienceOver();
    void showTrayIcon();

    std::weak_ptr<Application> application_;
    // Qt exports a tray icon's menu once: the same QMenu serves every model, and outlives the icon.
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<TrayPresence> trayPresence_;
    // Runs while an embedded tray is there but a panel may still be registering as a StatusNotifierItem host.
    std::unique_ptr<QTimer> patience_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    QString title_;
    bool reportedMissingTray_ = false;
};

}  // namespace kestrova::platform::qt
