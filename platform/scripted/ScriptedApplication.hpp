#pragma once

// An application object for tests: it records what the program asks of it (delegate, policy, status items and
// every installed menu, opened addresses, permission calls, termination replies), answers permission questions as
// the test says, lets the test choose menu entries and ask to quit, and runs the test's scenario as its event loop.

#include "AppFramework.hpp"
#include "EventLog.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::platform::scripted {

class ScriptedButton final : public StatusBarButton {
public:
    void setTitle(std::string_view title) override { title_ = std::string(title); }
    const std::optional<std::string>& title() const { return title_; }

private:
    std::optional<std::string> title_;
};

class ScriptedStatusItem final : public StatusItem {
public:
    explicit ScriptedStatusItem(bool withButton);

    StatusBarButton* button() override { return button_.get(); }
    void setMenu(Menu menu) override { menus_.push_back(std::move(menu)); }

    const ScriptedButton* scriptedButton() const { return button_.get(); }
    // Every menu installed, oldest first; the last one is on screen.
    const std::vector<Menu>& menus() const { return menus_; }
    const Menu* shownMenu() const { return menus_.empty() ? nullptr : &menus_.back(); }
    // The shown menu's entries, one line each, every field spelled out.
    std::vector<std::string> shownEntries() const;

private:
    std::unique_ptr<ScriptedButton> button_;
    std::vector<Menu> menus_;
};

class ScriptedApplication final : public Application {
public:
    explicit ScriptedApplication(EventLog& log) : log_(log) {}

    // What the test decides beforehand.
    bool permissionGranted = true;
    bool statusItemsHaveButtons = true;
    bool openingSucceeds = true;
    // The event loop: run() tells the delegate that launching has finished, then runs this.
    std::function<void()> whileRunning;

    std::shared_ptr<ApplicationDelegate> delegate() const { return delegate_.lock(); }
    const std::vector<std::shared_ptr<ScriptedStatusItem>>& statusItems() const { return statusItems_; }
    ScriptedStatusItem& statusItem() const { return *statusItems_.at(0); }
    const std::vector<std::string>& openedAddresses() const { return opened_; }
    int permissionRequests() const { return permissionRequests_; }
    const std::vector<TerminateReply>& terminateAnswers() const { return answers_; }
    const std::vector<bool>& replies() const { return replies_; }
    // A quit request was answered `later` and its reply has not come yet.
    bool awaitingReply() const { return awaitingReply_; }
    // A true reply to a quit request ends the run.
    bool terminated() const { return terminated_; }

    // Chooses the first entry with this title in the shown menu, as a user's click does; false when none is there.
    bool choose(std::string_view title);
    // Chooses the given item, whichever menu it came from.
    void choose(const MenuItem& item);

    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override;
    void setActivationPolicy(ActivationPolicy policy) override;
    int run() override;
    void replyToApplicationShouldTerminate(bool shouldTerminate) override;
    void terminate() override;
    std::shared_ptr<StatusItem> makeStatusItem() override;
    bool openURL(std::string_view address) override;
    bool preflightScreenCaptureAccess() override;
    bool requestScreenCaptureAccess() override;

private:
    EventLog& log_;
    std::weak_ptr<ApplicationDelegate> delegate_;
    std::vector<std::shared_ptr<ScriptedStatusItem>> statusItems_;
    std::vector<std::string> opened_;
    int permissionRequests_ = 0;
    std::vector<TerminateReply> answers_;
    std::vector<bool> replies_;
    bool terminated_ = false;
    bool awaitingReply_ = false;
};

// One entry as a line: `separator`, or the item's title in quotes followed by every field.
std::string describe(const MenuEntry& entry);

}  // namespace kestrova::platform::scripted
