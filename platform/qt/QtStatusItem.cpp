#include "QtStatusItem.hpp"

#include "QtMenuRendering.hpp"
#include "QtTrayPresence.hpp"

#include <chrono>
#include <cstdio>

#include <QCoreApplication>
#include <QCursor>
#include <QFileInfo>
#include <QFont>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

namespace kestrova::platform::qt {

namespace {

constexpr int kIconSize = 64;
constexpr std::chrono::milliseconds kHostPatience{1500};

}  // namespace

QIcon drawTitleIcon(const QString& title) {
    QImage image(kIconSize, kIconSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x20, 0x2a, 0x3a));
    painter.drawRoundedRect(QRectF(2, 2, kIconSize - 4, kIconSize - 4), 12, 12);
    if (!title.isEmpty()) {
        QFont font;
        font.setBold(true);
        font.setPixelSize(kIconSize * 3 / 4);
        painter.setFont(font);
        painter.setPen(QColor(0xf2, 0xf4, 0xf8));
        painter.drawText(QRect(0, 0, kIconSize, kIconSize), Qt::AlignCenter, title.left(1).toUpper());
    }
    painter.end();
    return QIcon(QPixmap::fromImage(image));
}

QIcon statusItemIcon(const QString& title) {
    const QString name = QString::fromLatin1(kApplicationIconName);
    return QIcon::hasThemeIcon(name) ? QIcon::fromTheme(name) : drawTitleIcon(title);
}

QtStatusItem::QtStatusItem(std::weak_ptr<Application> application)
    : application_(std::move(application)), menu_(std::make_unique<QMenu>()), patience_(std::make_unique<QTimer>()) {
    // Qt picks between a StatusNotifierItem and the embedded tray once per process, when the first tray icon is
    // made, and keeps that choice. So the icon is made only once one of them is there: at once for a host, after a
    // moment of patience for an embedded tray alone (a panel may offer both and register its host a little later).
    patience_->setSingleShot(true);
    patience_->setInterval(kHostPatience);
    QObject::connect(patience_.get(), &QTimer::timeout, patience_.get(), [this] { patienceOver(); });
    trayPresence_ = std::make_unique<TrayPresence>([this] { trayPresenceChanged(); });
    // The start itself waits as long, so that a panel starting with the session is not reported missing.
    patience_->start();
    trayPresenceChanged();
}

QtStatusItem::~QtStatusItem() = default;

void QtStatusItem::setMenu(Menu menu) { renderMenu(*menu_, menu, application_); }

void QtStatusItem::setTitle(std::string_view title) {
    title_ = QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size()));
    if (!trayIcon_) return;
    trayIcon_->setIcon(statusItemIcon(title_));
    trayIcon_->setToolTip(title_);
}

void QtStatusItem::trayPresenceChanged() {
    if (trayIcon_) return;
    if (trayPresence_->hasNotifierHost()) {
        patience_->stop();
        showTrayIcon();
    } else if (trayPresence_->hasEmbedTray() && !patience_->isActive()) {
        patience_->start();
    }
}

void QtStatusItem::patienceOver() {
    if (trayIcon_) return;
    if (trayPresence_->hasNotifierHost() || trayPresence_->hasEmbedTray()) {
        showTrayIcon();
        return;
    }
    if (reportedMissingTray_) return;
    reportedMissingTray_ = true;
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    std::fprintf(stderr, "%s: no se encontró ninguna área de notificación; el icono aparecerá en cuanto haya una\n",
                 program.toLocal8Bit().constData());
}

void QtStatusItem::showTrayIcon() {
    // Once made, the icon follows a restarted host or tray of its kind by itself.
    trayIcon_ = std::make_unique<QSystemTrayIcon>();
    trayIcon_->setIcon(statusItemIcon(title_));
    trayIcon_->setToolTip(title_);
    trayIcon_->setContextMenu(menu_.get());
    // A left click opens the same menu as the right one, at the pointer, where the host leaves it to the program.
    // A click soon after the last one at the same place arrives as a double click.
    QObject::connect(trayIcon_.get(), &QSystemTrayIcon::activated, menu_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         const bool leftClick =
                             reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick;
                         if (leftClick && !menu_->isVisible()) menu_->popup(QCursor::pos());
                     });
    trayIcon_->show();
}

}  // namespace kestrova::platform::qt
