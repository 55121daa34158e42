#include "AppDelegate.hpp"

#include "BridgeConstants.hpp"
#include "SelectionPolicy.hpp"
#include "SyphonFrameSink.hpp"

namespace kestrova {

namespace {

std::shared_ptr<FrameSink> chooseSink(const platform::DeviceFactory& deviceFactory) {
    if (auto syphon = SyphonFrameSink::create(deviceFactory)) return syphon;
    return std::make_shared<DiagnosticFrameSink>();
}

platform::MenuItem disabledItem(std::string title) {
    platform::MenuItem item;
    item.title = std::move(title);
    item.enabled = false;
    return item;
}

}  // namespace

AppDelegate::AppDelegate(const Providers& providers)
    : application_(providers.application),
      statusItem_(application_.makeStatusItem()),
      discovery_(WindowDiscovery::create(providers.screenCapture)),
      capture_(CaptureBridge::create(chooseSink(providers.deviceFactory), providers.screenCapture)),
      statusText_(constants::kStatusSearching) {}

std::shared_ptr<AppDelegate> AppDelegate::create(const Providers& providers) {
    return std::shared_ptr<AppDelegate>(new AppDelegate(providers));
}

// --- Launch and termination ------------------------------------------------------------------------------------

void AppDelegate::applicationDidFinishLaunching() {
    if (auto* button = statusItem_->button()) button->setTitle(constants::kStatusItemTitle);

    std::weak_ptr<AppDelegate> weak = weak_from_this();
    capture_->onError = [weak](const platform::Error& error) {
        auto self = weak.lock();
        if (!self) return;
        self->statusText_ = std::string(constants::kStatusCaptureErrorPrefix) + error.localizedDescription();
        self->rebuildMenu();
    };
    discovery_->onChange = [weak](const std::vector<DiscoveredWindow>& windows) {
        if (auto self = weak.lock()) self->reconcile(windows);
    };
    discovery_->onError = [weak](const platform::Error& error) {
        auto self = weak.lock();
        if (!self || self->terminationPending_) return;
        self->statusText_ = std::string(constants::kStatusDiscoveryErrorPrefix) + error.localizedDescription();
        self->rebuildMenu();
    };

    if (!application_.preflightScreenCaptureAccess()) (void)application_.requestScreenCaptureAccess();
    discovery_->start();
    rebuildMenu();
}

platform::TerminateReply AppDelegate::applicationShouldTerminate(platform::Application& sender) {
    if (terminationPending_) return platform::TerminateReply::later;
    terminationPending_ = true;
    discovery_->stop();
    platform::spawn(quit(shared_from_this(), sender));
    return platform::TerminateReply::later;
}

platform::Task<> AppDelegate::quit(std::shared_ptr<AppDelegate> delegate, platform::Application& sender) {
    const bool ok = co_await delegate->capture_->shutdown();
    if (!ok) {
        delegate->terminationPending_ = false;
        delegate->discovery_->start();
        delegate->statusText_ = constants::kStatusStopFailed;
        delegate->rebuildMenu();
    }
    sender.replyToApplicationShouldTerminate(ok);
}

// --- Status menu -----------------------------------------------------------------------------------------------

void AppDelegate::rebuildMenu() {
    platform::Menu menu;
    menu.addItem(disabledItem(statusText_));
    menu.addItem(platform::MenuSeparator{});
    const std::weak_ptr<platform::MenuTarget> self = weak_from_this();
    for (const auto& window : windows_) {
        platform::MenuItem item;
        item.title = window.title();
        item.action = platform::MenuAction::selectWindow;
        item.target = self;
        item.representedObject = window.id();
        item.state = selectedWindowID_ == window.id() ? platform::MenuItemState::on : platform::MenuItemState::off;
        menu.addItem(std::move(item));
    }
    if (windows_.empty()) menu.addItem(disabledItem(std::string(constants::kMenuNoOutputs)));
    menu.addItem(platform::MenuSeparator{});

    platform::MenuItem permission;
    permission.title = std::string(constants::kMenuPermission);
    permission.action = platform::MenuAction::openScreenRecordingSettings;
    permission.target = self;
    menu.addItem(std::move(permission));

    platform::MenuItem quitItem;
    quitItem.title = std::string(constants::kMenuQuit);
    quitItem.action = platform::MenuAction::terminate;
    quitItem.keyEquivalent = std::string(constants::kMenuQuitKey);
    menu.addItem(std::move(quitItem));

    statusItem_->setMenu(std::move(menu));
}

std::string AppDelegate::transmissionStatus(const DiscoveredWindow& window) const {
    if (capture_->sink()->isAvailable()) return std::string(constants::kStatusTransmitting);
    return std::string(constants::kStatusCapturingPrefix) + window.title() +
           std::string(constants::kStatusCapturingSuffix);
}

void AppDelegate::selectWindow(const platform::MenuItem& sender) {
    const auto* id = std::get_if<std::uint32_t>(&sender.representedObject);
    if (!id) return;
    if (const auto* window = find(*id)) select(*window);
}

void AppDelegate::openScreenRecordingSettings() {
    // An address the desktop cannot open changes nothing.
    (void)application_.openURL(constants::kScreenRecordingSettingsURL);
}

// --- Window reconciliation -------------------------------------------------------------------------------------

const DiscoveredWindow* AppDelegate::find(std::uint32_t id) const {
    for (const auto& window : windows_) {
        if (window.id() == id) return &window;
    }
    return nullptr;
}

void AppDelegate::reconcile(const std::vector<DiscoveredWindow>& windows) {
    if (terminationPending_) return;
    windows_ = windows;
    std::vector<std::uint32_t> available;
    available.reserve(windows_.size());
    for (const auto& window : windows_) available.push_back(window.id());

    const auto decision = SelectionPolicy::decide(selectedWindowID_, available);
    switch (decision.kind()) {
        case SelectionDecision::Kind::keep:
            if (const auto* window = find(decision.id())) statusText_ = transmissionStatus(*window);
            break;
        case SelectionDecision::Kind::autoSelect:
            selectedWindowID_.reset();
            capture_->stopCapture();
            if (const auto* window = find(decision.id())) {
                // select() rebuilds the menu: one rebuild per accepted list.
                select(*window);
                return;
            }
            break;
        case SelectionDecision::Kind::noWindows:
            selectedWindowID_.reset();
            capture_->stopCapture();
            statusText_ = constants::kStatusNoWindows;
            break;
        case SelectionDecision::Kind::chooseManually:
            selectedWindowID_.reset();
            capture_->stopCapture();
            statusText_ = constants::kStatusChooseWindow;
            break;
    }
    rebuildMenu();
}

void AppDelegate::select(const DiscoveredWindow& window) {
    selectedWindowID_ = window.id();
    capture_->capture(window.window);
    statusText_ = transmissionStatus(window);
    rebuildMenu();
}

// --- Start-up --------------------------------------------------------------------------------------------------

int runApplication(const Providers& providers) {
    auto& application = providers.application;
    // The application does not own its delegate: this keeps it alive for as long as the event loop runs.
    const auto delegate = AppDelegate::create(providers);
    application.setDelegate(delegate);
    application.setActivationPolicy(platform::ActivationPolicy::accessory);
    return application.run();
}

}  // namespace kestrova
