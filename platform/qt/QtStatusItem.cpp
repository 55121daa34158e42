#include "QtStatusItem.hpp"

#include "QtMenuRendering.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QFont>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace kestrova::platform::qt {

namespace {

constexpr int kIconSize = 64;

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

QtStatusItem::QtStatusItem(std::weak_ptr<Application> application)
    : application_(std::move(application)), menu_(std::make_unique<QMenu>()) {
    // Qt picks between a StatusNotifierItem and the old embedded tray once, when the first tray icon is made:
    // making it before a panel's watcher is there would lose the item for good, so the icon waits for one.
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    hostWatcher_ = std::make_unique<QDBusServiceWatcher>(QString::fromLatin1(kStatusNotifierWatcherService), bus,
                                                         QDBusServiceWatcher::WatchForRegistration);
    QObject::connect(hostWatcher_.get(), &QDBusServiceWatcher::serviceRegistered, hostWatcher_.get(),
                     [this] { showTrayIcon(); });
    if (bus.interface()->isServiceRegistered(QString::fromLatin1(kStatusNotifierWatcherService))) showTrayIcon();
}

QtStatusItem::~QtStatusItem() = default;

void QtStatusItem::setMenu(Menu menu) { renderMenu(*menu_, menu, application_); }

void QtStatusItem::setTitle(std::string_view title) {
    title_ = QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size()));
    if (!trayIcon_) return;
    trayIcon_->setIcon(drawTitleIcon(title_));
    trayIcon_->setToolTip(title_);
}

void QtStatusItem::showTrayIcon() {
    // Once made, the icon follows a restarted watcher by itself.
    if (trayIcon_) return;
    trayIcon_ = std::make_unique<QSystemTrayIcon>();
    trayIcon_->setIcon(drawTitleIcon(title_));
    trayIcon_->setToolTip(title_);
    trayIcon_->setContextMenu(menu_.get());
    trayIcon_->show();
}

}  // namespace kestrova::platform::qt
