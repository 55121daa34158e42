// sni-watcher: a minimal org.kde.StatusNotifierWatcher on the session bus, for tests and trying the program out.
// It keeps the list of registered items, drops an item when its owner leaves the bus, and says that a host is
// registered, which is what a program needs to see before it exports a status item. Like a panel, it follows the
// menus of its items: each LayoutUpdated an item sends on com.canonical.dbusmenu is reported. Each event is one
// line on standard output: "ready", "registered SERVICE PATH", "unregistered SERVICE PATH",
// "layout-updated SENDER PATH REVISION".

#include <cstdio>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QStringList>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kPath = QStringLiteral("/StatusNotifierWatcher");
const QString kInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kDefaultItemPath = QStringLiteral("/StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString kLayoutUpdated = QStringLiteral("LayoutUpdated");

// Properties are listed here because clients look them up through introspection before reading them.
const char* const kIntrospection = R"(<interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
  <signal name="StatusNotifierHostUnregistered"/>
</interface>
)";

void say(const QString& line) {
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

class Watcher final : public QDBusVirtualObject {
    Q_OBJECT

public:
    explicit Watcher(QDBusConnection bus)
        : bus_(bus), owners_(QString(), bus, QDBusServiceWatcher::WatchForUnregistration) {
        QObject::connect(&owners_, &QDBusServiceWatcher::serviceUnregistered, this,
                         [this](const QString& service) { dropItemsOf(service); });
    }

    QString introspect(const QString&) const override { return QString::fromLatin1(kIntrospection); }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() == kPropertiesInterface) return answerProperties(message, connection);
        if (message.member() == QLatin1String("RegisterStatusNotifierItem") && message.arguments().size() == 1) {
            registerItem(message.service(), message.arguments().front().toString());
            connection.send(message.createReply());
            return true;
        }
        if (message.member() == QLatin1String("RegisterStatusNotifierHost")) {
            connection.send(message.createReply());
            return true;
        }
        return false;
    }

private slots:
    void reportLayoutUpdate(uint revision, int, const QDBusMessage& message) {
        say(QStringLiteral("layout-updated %1 %2 %3").arg(message.service(), message.path()).arg(revision));
    }

private:
    // The argument is either the item's bus name, on the usual path, or an object path on the caller's connection.
    void registerItem(const QString& sender, const QString& argument) {
        const bool isPath = argument.startsWith(QLatin1Char('/'));
        const QString service = isPath ? sender : argument;
        const QString path = isPath ? argument : kDefaultItemPath;
        const QString entry = service + path;
        if (items_.contains(entry)) return;
        items_.append(entry);
        owners_.addWatchedService(service);
        bus_.connect(service, QString(), kMenuInterface, kLayoutUpdated, this,
                     SLOT(reportLayoutUpdate(uint, int, QDBusMessage)));
        say(QStringLiteral("registered %1 %2").arg(service, path));
        emitSignal(QStringLiteral("StatusNotifierItemRegistered"), {entry});
    }

    void dropItemsOf(const QString& service) {
        for (qsizetype i = items_.size() - 1; i >= 0; --i) {
            const QString& entry = items_.at(i);
            if (!entry.startsWith(service + QLatin1Char('/'))) continue;
            say(QStringLiteral("unregistered %1 %2").arg(service, entry.mid(service.size())));
            emitSignal(QStringLiteral("StatusNotifierItemUnregistered"), {entry});
            items_.removeAt(i);
        }
        owners_.removeWatchedService(service);
        bus_.disconnect(service, QString(), kMenuInterface, kLayoutUpdated, this,
                        SLOT(reportLayoutUpdate(uint, int, QDBusMessage)));
    }

    void emitSignal(const QString& name, const QVariantList& arguments) {
        auto signal = QDBusMessage::createSignal(kPath, kInterface, name);
        signal.setArguments(arguments);
        bus_.send(signal);
    }

    QVariantMap properties() const {
        return {{QStringLiteral("RegisteredStatusNotifierItems"), items_},
                {QStringLiteral("IsStatusNotifierHostRegistered"), true},
                {QStringLiteral("ProtocolVersion"), 0}};
    }

    bool answerProperties(const QDBusMessage& message, const QDBusConnection& connection) const {
        const auto arguments = message.arguments();
        if (arguments.isEmpty() || arguments.front().toString() != kInterface) {
            connection.send(message.createErrorReply(QDBusError::UnknownInterface, QStringLiteral("no interface")));
            return true;
        }
        if (message.member() == QLatin1String("GetAll")) {
            connection.send(message.createReply(QVariant(properties())));
            return true;
        }
        if (message.member() == QLatin1String("Get") && arguments.size() == 2) {
            const auto all = properties();
            const auto found = all.find(arguments.at(1).toString());
            if (found == all.end()) {
                connection.send(message.createErrorReply(QDBusError::UnknownProperty, QStringLiteral("no property")));
            } else {
                connection.send(message.createReply(QVariant::fromValue(QDBusVariant(found.value()))));
            }
            return true;
        }
        connection.send(message.createErrorReply(QDBusError::PropertyReadOnly, QStringLiteral("read-only")));
        return true;
    }

    QDBusConnection bus_;
    QDBusServiceWatcher owners_;
    QStringList items_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fputs("sni-watcher: no hay bus de sesión\n", stderr);
        return 1;
    }
    Watcher watcher(bus);
    // The object is in place before the name is taken, so whoever sees the name appear can use it at once.
    if (!bus.registerVirtualObject(kPath, &watcher) || !bus.registerService(kService)) {
        std::fputs("sni-watcher: el nombre org.kde.StatusNotifierWatcher no está libre\n", stderr);
        return 1;
    }
    say(QStringLiteral("ready"));
    return QCoreApplication::exec();
}

#include "WatcherMain.moc"
