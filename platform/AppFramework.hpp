#pragma once

// The application-framework boundary: the application object and its delegate, the deferred quit, the one
// status item, the platform-free menu model it shows, opening an address, and the screen-capture permission.
// Providers: platform/qt (real) and platform/scripted (tests). Everything here is used on the main thread.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestrova::platform {

enum class TerminateReply : int { cancel = 0, now = 1, later = 2 };
enum class ActivationPolicy : int { regular = 0, accessory = 1, prohibited = 2 };

class Application;

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    // Once, after launching has finished.
    virtual void applicationDidFinishLaunching() = 0;
    // On every quit request. After `later`, the application waits for exactly one reply and keeps serving events.
    virtual TerminateReply applicationShouldTerminate(Application& sender) = 0;
};

// The actions a menu item can send.
enum class MenuAction { none, selectWindow, openScreenRecordingSettings, terminate };

struct MenuItem;

// The receiver of item actions that name a target.
class MenuTarget {
public:
    virtual ~MenuTarget() = default;
    virtual void selectWindow(const MenuItem& sender) = 0;
    virtual void openScreenRecordingSettings() = 0;
};

// A value carried by a menu item: nothing, an unsigned 32-bit number, or something that is not a number.
using RepresentedObject = std::variant<std::monostate, std::uint32_t, std::string>;

enum class MenuItemState : int { off = 0, on = 1 };

struct MenuItem {
    std::string title;
    MenuAction action = MenuAction::none;
    std::string keyEquivalent;  // empty means none
    std::weak_ptr<MenuTarget> target;  // empty: the action goes to the application
    bool enabled = true;
    MenuItemState state = MenuItemState::off;
    RepresentedObject representedObject;

    bool hasTarget() const { return !target.expired(); }
};

struct MenuSeparator {};

using MenuEntry = std::variant<MenuSeparator, MenuItem>;

// An ordered list of entries, built whole and never edited in place once installed.
struct Menu {
    std::vector<MenuEntry> entries;

    void addItem(MenuEntry entry) { entries.push_back(std::move(entry)); }
};

class StatusBarButton {
public:
    virtual ~StatusBarButton() = default;
    virtual void setTitle(std::string_view title) = 0;
};

class StatusItem {
public:
    virtual ~StatusItem() = default;
    // May be absent.
    virtual StatusBarButton* button() = 0;
    // Replaces whatever menu was installed before.
    virtual void setMenu(Menu menu) = 0;
};

class Application {
public:
    virtual ~Application() = default;

    // The application does not own its delegate.
    virtual void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) = 0;
    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    // The event loop; gives the process's exit status when it ends.
    virtual int run() = 0;
    virtual void replyToApplicationShouldTerminate(bool shouldTerminate) = 0;
    // The quit request, as an item without target sends it.
    virtual void terminate() = 0;

    // A new variable-length item in the status area.
    virtual std::shared_ptr<StatusItem> makeStatusItem() = 0;
    // Opens the address with the desktop's handler; gives whether that worked.
    virtual bool openURL(std::string_view address) = 0;

    virtual bool preflightScreenCaptureAccess() = 0;
    virtual bool requestScreenCaptureAccess() = 0;
};

// Sends a chosen item's action to its target, or to the application when it has none.
void performAction(Application& application, const MenuItem& item);

}  // namespace kestrova::platform
