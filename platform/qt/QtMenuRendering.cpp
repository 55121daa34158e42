#include "QtMenuRendering.hpp"

#include <string>
#include <variant>

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QMetaObject>
#include <QString>
#include <QVariant>

namespace kestrova::platform::qt {

namespace {

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Qt reads '&' in an action's text as a mnemonic marker; a title is shown as it is, so each one is doubled.
QString literalText(const std::string& title) { return fromUtf8(title).replace(u'&', QStringLiteral("&&")); }

// A key equivalent takes the platform's command modifier, Control here; an upper-case letter adds Shift.
QKeySequence shortcutFor(const std::string& keyEquivalent) {
    if (keyEquivalent.empty()) return {};
    const QString key = fromUtf8(keyEquivalent);
    const bool shifted = key.size() == 1 && key.front().isUpper();
    return QKeySequence(QStringLiteral("Ctrl+") + (shifted ? QStringLiteral("Shift+") : QString()) + key.toUpper(),
                        QKeySequence::PortableText);
}

QVariant toVariant(const RepresentedObject& value) {
    if (const auto* number = std::get_if<std::uint32_t>(&value)) return QVariant::fromValue<quint32>(*number);
    if (const auto* text = std::get_if<std::string>(&value)) return QVariant(fromUtf8(*text));
    return {};
}

RepresentedObject fromVariant(const QVariant& value) {
    if (value.typeId() == QMetaType::UInt) return static_cast<std::uint32_t>(value.value<quint32>());
    if (value.typeId() == QMetaType::QString) return value.toString().toStdString();
    return std::monostate{};
}

// As in a menu that enables its items automatically: an item is choosable only when its action has a receiver.
bool hasReceiver(const MenuItem& item) {
    switch (item.action) {
        case MenuAction::none:
            return false;
        case MenuAction::terminate:
            return !item.hasTarget();
        case MenuAction::selectWindow:
        case MenuAction::openScreenRecordingSettings:
            return item.hasTarget();
    }
    return false;
}

void addItem(QMenu& menu, const MenuItem& item, const std::weak_ptr<Application>& application) {
    QAction* action = menu.addAction(literalText(item.title));
    const bool checked = item.state == MenuItemState::on;
    action->setEnabled(item.enabled && hasReceiver(item));
    // An item that stands for a value is one choice among several: it keeps its check column whether or not it
    // is the chosen one.
    action->setCheckable(checked || !std::holds_alternative<std::monostate>(item.representedObject));
    action->setChecked(checked);
    action->setShortcut(shortcutFor(item.keyEquivalent));
    action->setShortcutVisibleInContextMenu(true);
    action->setData(toVariant(item.representedObject));

    QObject::connect(action, &QAction::triggered, &menu, [action, checked, item, application, target = &menu] {
        // Choosing does not toggle: the menu shows what it was built from until the next model replaces it.
        action->setChecked(checked);
        MenuItem sender = item;
        sender.representedObject = fromVariant(action->data());
        // The action may rebuild this very menu, which deletes the action whose signal is being delivered.
        QMetaObject::invokeMethod(
            target,
            [application, sender] {
                if (const auto app = application.lock()) performAction(*app, sender);
            },
            Qt::QueuedConnection);
    });
}

}  // namespace

void renderMenu(QMenu& menu, const Menu& model, std::weak_ptr<Application> application) {
    menu.clear();
    for (const auto& entry : model.entries) {
        if (const auto* item = std::get_if<MenuItem>(&entry)) {
            addItem(menu, *item, application);
        } else {
            menu.addSeparator();
        }
    }
}

}  // namespace kestrova::platform::qt
