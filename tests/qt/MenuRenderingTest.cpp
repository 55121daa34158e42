#include "AppFramework.hpp"
#include "qt/QtMenuRendering.hpp"
#include "qt/QtStatusItem.hpp"
#include "QtTestLoop.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <QAction>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QKeySequence>
#include <QMenu>
#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

using kestrova::platform::Application;
using kestrova::platform::ActivationPolicy;
using kestrova::platform::Menu;
using kestrova::platform::MenuAction;
using kestrova::platform::MenuItem;
using kestrova::platform::MenuItemState;
using kestrova::platform::MenuSeparator;
using kestrova::platform::MenuTarget;
using kestrova::platform::RepresentedObject;
using kestrova::platform::StatusItem;
using kestrova::platform::TerminateReply;
using kestrova::platform::qt::drawTitleIcon;
using kestrova::platform::qt::kApplicationIconName;
using kestrova::platform::qt::QtStatusItem;
using kestrova::platform::qt::renderMenu;
using kestrova::platform::qt::statusItemIcon;
using kestrova::testing::serveEventsUntil;

namespace {

// An application that only records the quit requests its items send.
class RecordingApplication final : public Application {
public:
    int terminateRequests = 0;

    void setDelegate(std::weak_ptr<kestrova::platform::ApplicationDelegate>) override {}
    void setActivationPolicy(ActivationPolicy) override {}
    int run() override { return 0; }
    void replyToApplicationShouldTerminate(bool) override {}
    void terminate() override { ++terminateRequests; }
    std::shared_ptr<StatusItem> makeStatusItem() override { return nullptr; }
    bool openURL(std::string_view) override { return false; }
    bool preflightScreenCaptureAccess() override { return true; }
    bool requestScreenCaptureAccess() override { return true; }
};

class RecordingTarget final : public MenuTarget {
public:
    std::vector<MenuItem> chosen;
    int settingsRequests = 0;
    std::function<void()> onChoice;

    void selectWindow(const MenuItem& sender) override {
        chosen.push_back(sender);
        if (onChoice) onChoice();
    }
    void openScreenRecordingSettings() override { ++settingsRequests; }
};

MenuItem item(std::string title, MenuAction action, std::shared_ptr<MenuTarget> target = nullptr) {
    MenuItem entry;
    entry.title = std::move(title);
    entry.action = action;
    entry.target = target;
    return entry;
}

MenuItem windowItem(std::string title, std::uint32_t id, std::shared_ptr<MenuTarget> target, bool on = false) {
    MenuItem entry = item(std::move(title), MenuAction::selectWindow, std::move(target));
    entry.representedObject = id;
    entry.state = on ? MenuItemState::on : MenuItemState::off;
    return entry;
}

struct ShownAction {
    bool separator = false;
    std::string shownText;
    bool enabled = false;
    bool checkable = false;
    bool checked = false;
    std::string shortcut;
    QVariant value;
};

ShownAction shown(const QAction* action) {
    return {action->isSeparator(),
            action->iconText().toStdString(),
            action->isEnabled(),
            action->isCheckable(),
            action->isChecked(),
            action->shortcut().toString(QKeySequence::PortableText).toStdString(),
            action->data()};
}

struct RenderCase {
    const char* name;
    std::function<MenuItem(const std::shared_ptr<MenuTarget>&)> make;
    ShownAction expected;
};

void PrintTo(const RenderCase& c, std::ostream* os) { *os << c.name; }

class MenuItemRendering : public ::testing::TestWithParam<RenderCase> {};

TEST_P(MenuItemRendering, ShowsTheItemAsItsModelSays) {
    auto target = std::make_shared<RecordingTarget>();
    auto application = std::make_shared<RecordingApplication>();
    Menu model;
    model.addItem(GetParam().make(target));
    QMenu menu;
    renderMenu(menu, model, application);
    ASSERT_EQ(menu.actions().size(), 1);
    const ShownAction actual = shown(menu.actions().front());
    const ShownAction& expected = GetParam().expected;
    EXPECT_EQ(actual.separator, expected.separator);
    EXPECT_EQ(actual.shownText, expected.shownText);
    EXPECT_EQ(actual.enabled, expected.enabled);
    EXPECT_EQ(actual.checkable, expected.checkable);
    EXPECT_EQ(actual.checked, expected.checked);
    EXPECT_EQ(actual.shortcut, expected.shortcut);
    EXPECT_EQ(actual.value, expected.value);
    if (!expected.shortcut.empty()) {
        EXPECT_TRUE(menu.actions().front()->isShortcutVisibleInContextMenu());
    }
}

MenuItem disabledStatus(const std::shared_ptr<MenuTarget>&) {
    MenuItem entry = item("Error de captura: algo & más", MenuAction::none);
    entry.enabled = false;
    return entry;
}

MenuItem quitItem(const std::shared_ptr<MenuTarget>&, std::string key) {
    MenuItem entry = item("Salir", MenuAction::terminate);
    entry.keyEquivalent = std::move(key);
    return entry;
}

INSTANTIATE_TEST_SUITE_P(
    Entries, MenuItemRendering,
    ::testing::Values(
        RenderCase{"status_line", disabledStatus, {false, "Error de captura: algo & más", false, false, false, "", {}}},
        RenderCase{"no_action_shows_disabled",
                   [](const auto&) { return item("No se detectaron salidas", MenuAction::none); },
                   {false, "No se detectaron salidas", false, false, false, "", {}}},
        RenderCase{"window_entry_off",
                   [](const auto& t) { return windowItem("Kestrova Output | A & B", 7, t); },
                   {false, "Kestrova Output | A & B", true, true, false, "", QVariant::fromValue<quint32>(7)}},
        RenderCase{"window_entry_on",
                   [](const auto& t) { return windowItem("Kestrova Output | B", 0, t, true); },
                   {false, "Kestrova Output | B", true, true, true, "", QVariant::fromValue<quint32>(0)}},
        RenderCase{"largest_identifier",
                   [](const auto& t) { return windowItem("Kestrova Output", 4294967295u, t); },
                   {false, "Kestrova Output", true, true, false, "", QVariant::fromValue<quint32>(4294967295u)}},
        RenderCase{"settings_entry",
                   [](const auto& t) {
                       return item("Permiso de grabación de pantalla\u2026",
                                   MenuAction::openScreenRecordingSettings, t);
                   },
                   {false, "Permiso de grabación de pantalla\u2026", true, false, false, "", {}}},
        RenderCase{"target_gone_shows_disabled",
                   [](const auto&) {
                       return item("Permiso de grabación de pantalla\u2026", MenuAction::openScreenRecordingSettings,
                                   std::make_shared<RecordingTarget>());
                   },
                   {false, "Permiso de grabación de pantalla\u2026", false, false, false, "", {}}},
        RenderCase{"quit_entry", [](const auto& t) { return quitItem(t, "q"); },
                   {false, "Salir", true, false, false, "Ctrl+Q", {}}},
        RenderCase{"upper_case_key_adds_shift", [](const auto& t) { return quitItem(t, "Q"); },
                   {false, "Salir", true, false, false, "Ctrl+Shift+Q", {}}},
        RenderCase{"quit_with_a_target_has_no_receiver",
                   [](const auto& t) { return item("Salir", MenuAction::terminate, t); },
                   {false, "Salir", false, false, false, "", {}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MenuRenderingTest, EntriesKeepTheModelsOrderWithSeparatorsWhereItHasThem) {
    auto target = std::make_shared<RecordingTarget>();
    Menu model;
    model.addItem(item("Buscando pantallas Kestrova", MenuAction::none));
    model.addItem(MenuSeparator{});
    model.addItem(windowItem("Kestrova Output | 2", 2, target));
    model.addItem(windowItem("Kestrova Output | 1", 1, target, true));
    model.addItem(MenuSeparator{});
    model.addItem(item("Salir", MenuAction::terminate));
    QMenu menu;
    renderMenu(menu, model, std::make_shared<RecordingApplication>());
    std::vector<std::string> texts;
    for (const QAction* action : menu.actions()) {
        texts.push_back(action->isSeparator() ? "---" : shown(action).shownText);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Buscando pantallas Kestrova", "---", "Kestrova Output | 2",
                                               "Kestrova Output | 1", "---", "Salir"}));
}

// A chosen entry reaches its target, or the application, with the value read back from the action; choosing
// does not flip its check mark.
TEST(MenuRenderingTest, AChosenEntryReachesItsReceiverWithItsValueAndKeepsItsCheckMark) {
    auto target = std::make_shared<RecordingTarget>();
    auto application = std::make_shared<RecordingApplication>();
    MenuItem named = item("Kestrova Output | texto", MenuAction::selectWindow, target);
    named.representedObject = std::string("no es un número");
    Menu model;
    model.addItem(windowItem("Kestrova Output | máximo", 4294967295u, target));
    model.addItem(windowItem("Kestrova Output | elegido", 9, target, true));
    model.addItem(named);
    model.addItem(item("Permiso de grabación de pantalla\u2026", MenuAction::openScreenRecordingSettings, target));
    model.addItem(item("Salir", MenuAction::terminate));
    QMenu menu;
    renderMenu(menu, model, application);
    for (QAction* action : menu.actions()) action->trigger();
    ASSERT_TRUE(serveEventsUntil([&] { return application->terminateRequests == 1; }));

    ASSERT_EQ(target->chosen.size(), 3u);
    EXPECT_EQ(target->chosen[0].title, "Kestrova Output | máximo");
    EXPECT_EQ(target->chosen[0].representedObject, RepresentedObject(std::uint32_t{4294967295u}));
    EXPECT_EQ(target->chosen[1].representedObject, RepresentedObject(std::uint32_t{9}));
    EXPECT_EQ(target->chosen[2].representedObject, RepresentedObject(std::string("no es un número")));
    EXPECT_EQ(target->settingsRequests, 1);
    EXPECT_FALSE(menu.actions()[0]->isChecked());
    EXPECT_TRUE(menu.actions()[1]->isChecked());
}

// The usual answer to a choice is a new model for the same menu, which deletes the chosen action.
TEST(MenuRenderingTest, AChoiceThatRebuildsTheMenuReplacesItWhole) {
    auto target = std::make_shared<RecordingTarget>();
    auto application = std::make_shared<RecordingApplication>();
    QtStatusItem statusItem(application);
    auto modelWith = [&](std::uint32_t selected) {
        Menu model;
        model.addItem(item(selected == 0 ? "Elegí una pantalla" : "Transmitiendo como Kestrova Bridge",
                           MenuAction::none));
        model.addItem(MenuSeparator{});
        model.addItem(windowItem("Kestrova Output | 1", 1, target, selected == 1));
        model.addItem(windowItem("Kestrova Output | 2", 2, target, selected == 2));
        return model;
    };
    target->onChoice = [&] {
        statusItem.setMenu(modelWith(std::get<std::uint32_t>(target->chosen.back().representedObject)));
    };
    statusItem.setMenu(modelWith(0));
    QMenu* const menu = &statusItem.menu();
    const QPointer<QAction> chosen = menu->actions()[3];
    const QPointer<QAction> other = menu->actions()[0];
    chosen->trigger();
    ASSERT_TRUE(serveEventsUntil([&] { return !target->chosen.empty(); }));

    EXPECT_EQ(&statusItem.menu(), menu);
    EXPECT_TRUE(chosen.isNull());
    EXPECT_TRUE(other.isNull());
    ASSERT_EQ(menu->actions().size(), 4);
    EXPECT_EQ(shown(menu->actions()[0]).shownText, "Transmitiendo como Kestrova Bridge");
    EXPECT_FALSE(menu->actions()[2]->isChecked());
    EXPECT_TRUE(menu->actions()[3]->isChecked());
}

TEST(StatusItemTest, HasAButtonWhoseTitleIsKeptAndWaitsForAHostBeforeMakingATrayIcon) {
    QtStatusItem statusItem(std::make_shared<RecordingApplication>());
    ASSERT_NE(statusItem.button(), nullptr);
    EXPECT_TRUE(statusItem.title().isEmpty());
    statusItem.button()->setTitle("Kestrova");
    EXPECT_EQ(statusItem.title(), QStringLiteral("Kestrova"));
    // The in-process session bus has no status-item host.
    EXPECT_EQ(statusItem.trayIcon(), nullptr);
}

int inkedPixels(const QImage& image) {
    int inked = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) inked += qAlpha(image.pixel(x, y)) != 0 ? 1 : 0;
    }
    return inked;
}

TEST(StatusItemTest, TheIconIsDrawnFromTheTitle) {
    const QImage kestrova = drawTitleIcon(QStringLiteral("Kestrova")).pixmap(64, 64).toImage();
    const QImage other = drawTitleIcon(QStringLiteral("Otro")).pixmap(64, 64).toImage();
    const QImage untitled = drawTitleIcon(QString()).pixmap(64, 64).toImage();
    ASSERT_FALSE(kestrova.isNull());
    EXPECT_GT(inkedPixels(untitled), 0);
    EXPECT_NE(kestrova, untitled);
    EXPECT_NE(kestrova, other);
    EXPECT_EQ(kestrova, drawTitleIcon(QStringLiteral("Kestrova")).pixmap(64, 64).toImage());
}

// An icon theme of the test's own, with or without the program's icon, in place of the desktop's for one test.
class IconThemeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(directory_.isValid());
        searchPaths_ = QIcon::themeSearchPaths();
        themeName_ = QIcon::themeName();
        QIcon::setThemeSearchPaths({directory_.path()});
    }
    void TearDown() override {
        QIcon::setThemeSearchPaths(searchPaths_);
        QIcon::setThemeName(themeName_);
    }

    void useTheme(const QString& name, const QImage* programIcon) {
        const QString theme = directory_.path() + u'/' + name;
        ASSERT_TRUE(QDir().mkpath(theme + QStringLiteral("/64x64/apps")));
        QFile index(theme + QStringLiteral("/index.theme"));
        ASSERT_TRUE(index.open(QIODevice::WriteOnly));
        index.write("[Icon Theme]\nName=test\nDirectories=64x64/apps\n\n[64x64/apps]\nSize=64\nType=Fixed\n");
        index.close();
        if (programIcon != nullptr) {
            ASSERT_TRUE(programIcon->save(theme + QStringLiteral("/64x64/apps/") +
                                          QString::fromLatin1(kApplicationIconName) + QStringLiteral(".png")));
        }
        QIcon::setThemeName(name);
    }

    QTemporaryDir directory_;
    QStringList searchPaths_;
    QString themeName_;
};

TEST_F(IconThemeTest, TheThemesProgramIconIsUsedWhenThereIsOne) {
    QImage programIcon(64, 64, QImage::Format_ARGB32);
    programIcon.fill(QColor(0x12, 0x9a, 0x55));
    useTheme(QStringLiteral("with-icon"), &programIcon);
    const QIcon icon = statusItemIcon(QStringLiteral("Kestrova"));
    EXPECT_EQ(icon.name(), QString::fromLatin1(kApplicationIconName));
    EXPECT_EQ(icon.pixmap(64, 64).toImage().pixelColor(32, 32), QColor(0x12, 0x9a, 0x55));
}

TEST_F(IconThemeTest, TheIconIsDrawnWhenTheThemeLacksIt) {
    useTheme(QStringLiteral("without-icon"), nullptr);
    const QIcon icon = statusItemIcon(QStringLiteral("Kestrova"));
    EXPECT_TRUE(icon.name().isEmpty());
    EXPECT_EQ(icon.pixmap(64, 64).toImage(), drawTitleIcon(QStringLiteral("Kestrova")).pixmap(64, 64).toImage());
}

}  // namespace
