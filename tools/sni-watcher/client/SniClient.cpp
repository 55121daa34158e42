#include "SniClient.hpp"

#include <atomic>
#include <thread>

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

namespace kestrova::testing {

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");
constexpr int kCallTimeoutMs = 5000;
constexpr auto kPollPause = std::chrono::milliseconds(20);

QString q(const std::string& text) { return QString::fromStdString(text); }

std::string withoutMnemonics(const QString& label) {
    QString shown;
    for (qsizetype i = 0; i < label.size(); ++i) {
        if (label[i] == u'_' && i + 1 < label.size()) ++i;
        shown += label[i];
    }
    return shown.toStdString();
}

struct Pixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;
};

std::vector<Pixmap> readPixmaps(const QDBusArgument& argument) {
    std::vector<Pixmap> pixmaps;
    argument.beginArray();
    while (!argument.atEnd()) {
        Pixmap pixmap;
        argument.beginStructure();
        argument >> pixmap.width >> pixmap.height >> pixmap.argb;
        argument.endStructure();
        pixmaps.push_back(pixmap);
    }
    argument.endArray();
    return pixmaps;
}

std::string readToolTipTitle(const QDBusArgument& argument) {
    QString iconName;
    QString title;
    QString text;
    argument.beginStructure();
    argument >> iconName;
    readPixmaps(argument);
    argument >> title >> text;
    argument.endStructure();
    return title.toStdString();
}

std::vector<std::vector<std::string>> readShortcut(const QVariant& value) {
    std::vector<std::vector<std::string>> shortcut;
    const auto argument = value.value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        QStringList keys;
        argument >> keys;
        std::vector<std::string> chord;
        for (const auto& key : keys) chord.push_back(key.toStdString());
        shortcut.push_back(chord);
    }
    argument.endArray();
    return shortcut;
}

ExportedMenuEntry toEntry(int id, const QVariantMap& properties) {
    ExportedMenuEntry entry;
    entry.id = id;
    entry.separator = properties.value(QStringLiteral("type")).toString() == QLatin1String("separator");
    entry.label = withoutMnemonics(properties.value(QStringLiteral("label")).toString());
    entry.enabled = properties.value(QStringLiteral("enabled"), true).toBool();
    entry.visible = properties.value(QStringLiteral("visible"), true).toBool();
    entry.toggleType = properties.value(QStringLiteral("toggle-type")).toString().toStdString();
    entry.toggleState = properties.value(QStringLiteral("toggle-state"), -1).toInt();
    if (properties.contains(QStringLiteral("shortcut"))) {
        entry.shortcut = readShortcut(properties.value(QStringLiteral("shortcut")));
    }
    return entry;
}

// The layout is (ia{sv}av): the root's id and properties, then its children as variants of the same shape.
ExportedMenu readLayout(const QDBusArgument& root) {
    ExportedMenu menu;
    int rootId = 0;
    QVariantMap rootProperties;
    root.beginStructure();
    root >> rootId >> rootProperties;
    root.beginArray();
    while (!root.atEnd()) {
        QDBusVariant child;
        root >> child;
        const auto node = child.variant().value<QDBusArgument>();
        int id = 0;
        QVariantMap properties;
        node.beginStructure();
        node >> id >> properties;
        node.endStructure();
        menu.push_back(toEntry(id, properties));
    }
    root.endArray();
    root.endStructure();
    return menu;
}

}  // namespace

struct SniClient::Connection {
    QString name;
    QDBusConnection bus;

    std::optional<QVariant> property(const QString& service, const QString& path, const QString& interface,
                                     const QString& property) const {
        auto call = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                   QStringLiteral("Get"));
        call.setArguments({interface, property});
        const auto reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return std::nullopt;
        return reply.arguments().front().value<QDBusVariant>().variant();
    }
};

SniClient::SniClient(const std::string& busAddress) {
    static std::atomic<int> counter{0};
    const QString name = QStringLiteral("kestrova-sni-client-%1").arg(++counter);
    connection_ = std::make_unique<Connection>(Connection{name, QDBusConnection::connectToBus(q(busAddress), name)});
}

SniClient::~SniClient() {
    const QString name = connection_->name;
    connection_.reset();
    QDBusConnection::disconnectFromBus(name);
}

bool SniClient::isConnected() const { return connection_->bus.isConnected(); }

std::vector<StatusItemAddress> SniClient::registeredItems() const {
    std::vector<StatusItemAddress> items;
    const auto listed = connection_->property(kWatcherService, kWatcherPath, kWatcherService,
                                              QStringLiteral("RegisteredStatusNotifierItems"));
    if (!listed) return items;
    for (const auto& entry : listed->toStringList()) {
        const auto slash = entry.indexOf(u'/');
        if (slash <= 0) continue;
        // GNOME's AppIndicator extension lists "service@/path".
        const auto service = entry.left(entry.at(slash - 1) == u'@' ? slash - 1 : slash);
        items.push_back({service.toStdString(), entry.mid(slash).toStdString()});
    }
    return items;
}

std::optional<StatusItemAddress> SniClient::waitForItem(std::chrono::milliseconds bound) const {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const auto items = registeredItems();
        if (!items.empty()) return items.front();
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(kPollPause);
    }
}

std::optional<StatusItemView> SniClient::readItem(const StatusItemAddress& item) const {
    const auto read = [&](const char* name) {
        return connection_->property(q(item.service), q(item.path), kItemInterface, QString::fromLatin1(name));
    };
    const auto id = read("Id");
    const auto title = read("Title");
    const auto toolTip = read("ToolTip");
    const auto status = read("Status");
    const auto menu = read("Menu");
    const auto icon = read("IconPixmap");
    if (!id || !title || !toolTip || !status || !menu || !icon) return std::nullopt;

    StatusItemView view;
    view.id = id->toString().toStdString();
    view.title = title->toString().toStdString();
    view.toolTipTitle = readToolTipTitle(toolTip->value<QDBusArgument>());
    view.status = status->toString().toStdString();
    view.menuPath = menu->value<QDBusObjectPath>().path().toStdString();
    const auto pixmaps = readPixmaps(icon->value<QDBusArgument>());
    if (!pixmaps.empty()) {
        const auto& largest = pixmaps.back();
        view.iconWidth = largest.width;
        view.iconHeight = largest.height;
        // Pixels are ARGB in network byte order: the alpha byte comes first.
        for (qsizetype i = 0; i + 3 < largest.argb.size() && !view.iconHasInk; i += 4) {
            view.iconHasInk = largest.argb[i] != 0;
        }
    }
    return view;
}

std::optional<ExportedMenu> SniClient::readMenu(const StatusItemAddress& item) const {
    const auto view = readItem(item);
    if (!view) return std::nullopt;
    auto call = QDBusMessage::createMethodCall(q(item.service), q(view->menuPath), kMenuInterface,
                                               QStringLiteral("GetLayout"));
    call.setArguments({0, -1, QStringList()});
    const auto reply = connection_->bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) return std::nullopt;
    return readLayout(reply.arguments().at(1).value<QDBusArgument>());
}

std::optional<ExportedMenu> SniClient::waitForMenu(const StatusItemAddress& item,
                                                   const std::function<bool(const ExportedMenu&)>& done,
                                                   std::chrono::milliseconds bound) const {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::optional<ExportedMenu> last;
    for (;;) {
        if (auto menu = readMenu(item)) {
            last = std::move(menu);
            if (done(*last)) return last;
        }
        if (std::chrono::steady_clock::now() >= deadline) return last;
        std::this_thread::sleep_for(kPollPause);
    }
}

bool SniClient::click(const StatusItemAddress& item, int entryId) const {
    const auto view = readItem(item);
    if (!view) return false;
    auto call =
        QDBusMessage::createMethodCall(q(item.service), q(view->menuPath), kMenuInterface, QStringLiteral("Event"));
    call.setArguments({entryId, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    return connection_->bus.call(call, QDBus::Block, kCallTimeoutMs).type() == QDBusMessage::ReplyMessage;
}

bool SniClient::clickLabel(const StatusItemAddress& item, const std::string& label) const {
    const auto menu = readMenu(item);
    if (!menu) return false;
    for (const auto& entry : *menu) {
        if (!entry.separator && entry.label == label) return click(item, entry.id);
    }
    return false;
}

}  // namespace kestrova::testing
