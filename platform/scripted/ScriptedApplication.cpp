#include "ScriptedApplication.hpp"

namespace kestrova::platform::scripted {

namespace {

const char* actionName(MenuAction action) {
    switch (action) {
        case MenuAction::none:
            return "none";
        case MenuAction::selectWindow:
            return "selectWindow";
        case MenuAction::openScreenRecordingSettings:
            return "openScreenRecordingSettings";
        case MenuAction::terminate:
            return "terminate";
    }
    return "?";
}

std::string valueText(const RepresentedObject& value) {
    if (const auto* number = std::get_if<std::uint32_t>(&value)) return std::to_string(*number);
    if (const auto* text = std::get_if<std::string>(&value)) return "\"" + *text + "\"";
    return "none";
}

}  // namespace

std::string describe(const MenuEntry& entry) {
    const auto* item = std::get_if<MenuItem>(&entry);
    if (!item) return "separator";
    return "\"" + item->title + "\" action=" + actionName(item->action) + " key=\"" + item->keyEquivalent +
           "\" target=" + (item->hasTarget() ? "set" : "none") + (item->enabled ? " enabled" : " disabled") +
           (item->state == MenuItemState::on ? " on" : " off") + " value=" + valueText(item->representedObject);
}

ScriptedStatusItem::ScriptedStatusItem(bool withButton)
    : button_(withButton ? std::make_unique<ScriptedButton>() : nullptr) {}

std::vector<std::string> ScriptedStatusItem::shownEntries() const {
    std::vector<std::string> lines;
    if (const Menu* menu = shownMenu()) {
        for (const auto& entry : menu->entries) lines.push_back(describe(entry));
    }
    return lines;
}

bool ScriptedApplication::choose(std::string_view title) {
    if (statusItems_.empty() || !statusItems_.front()->shownMenu()) return false;
    for (const auto& entry : statusItems_.front()->shownMenu()->entries) {
        const auto* item = std::get_if<MenuItem>(&entry);
        if (item && item->title == title) {
            choose(*item);
            return true;
        }
    }
    return false;
}

void ScriptedApplication::choose(const MenuItem& item) {
    // A disabled entry cannot be clicked.
    if (!item.enabled) return;
    log_.add("choose " + item.title);
    performAction(*this, item);
}

void ScriptedApplication::setDelegate(std::weak_ptr<ApplicationDelegate> delegate) {
    log_.add("set delegate");
    delegate_ = std::move(delegate);
}

void ScriptedApplication::setActivationPolicy(ActivationPolicy policy) {
    log_.add("activation policy " + std::to_string(static_cast<int>(policy)));
}

int ScriptedApplication::run() {
    log_.add("run");
    if (auto delegate = delegate_.lock()) delegate->applicationDidFinishLaunching();
    if (whileRunning) whileRunning();
    return 0;
}

void ScriptedApplication::replyToApplicationShouldTerminate(bool shouldTerminate) {
    log_.add(std::string("reply ") + (shouldTerminate ? "true" : "false"));
    replies_.push_back(shouldTerminate);
    awaitingReply_ = false;
    if (shouldTerminate) terminated_ = true;
}

void ScriptedApplication::terminate() {
    log_.add("terminate");
    auto delegate = delegate_.lock();
    if (!delegate) {
        terminated_ = true;
        return;
    }
    const auto answer = delegate->applicationShouldTerminate(*this);
    answers_.push_back(answer);
    if (answer == TerminateReply::later) awaitingReply_ = true;
    if (answer == TerminateReply::now) terminated_ = true;
}

std::shared_ptr<StatusItem> ScriptedApplication::makeStatusItem() {
    log_.add("make status item");
    statusItems_.push_back(std::make_shared<ScriptedStatusItem>(statusItemsHaveButtons));
    return statusItems_.back();
}

bool ScriptedApplication::openURL(std::string_view address) {
    log_.add("open " + std::string(address));
    opened_.emplace_back(address);
    return openingSucceeds;
}

bool ScriptedApplication::preflightScreenCaptureAccess() {
    log_.add("preflight permission");
    return permissionGranted;
}

bool ScriptedApplication::requestScreenCaptureAccess() {
    log_.add("request permission");
    ++permissionRequests_;
    return permissionGranted;
}

}  // namespace kestrova::platform::scripted
