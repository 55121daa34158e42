#pragma once

// The application object over Qt: the event loop of the GuardedApplication, the delegate's launch call, the
// deferred quit, status items, opening addresses. Screen capture on X11 needs no permission.

#include "AppFramework.hpp"
#include "QtGuardedApplication.hpp"

#include <memory>

namespace kestrova::platform::qt {

class QtApplication final : public Application, public std::enable_shared_from_this<QtApplication> {
public:
    // Becomes the quit gate of the Qt application until destroyed. Its status items act through it.
    static std::shared_ptr<QtApplication> create(GuardedApplication& qtApplication);
    ~QtApplication() override;
    QtApplication(const QtApplication&) = delete;
    QtApplication& operator=(const QtApplication&) = delete;

    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override;
    // Qt shows no dock entry and no main menu for a program without windows: every policy looks the same.
    void setActivationPolicy(ActivationPolicy policy) override;
    // The delegate learns that launching finished once the loop serves events; gives 0 after an agreed quit.
    int run() override;
    void replyToApplicationShouldTerminate(bool shouldTerminate) override;
    void terminate() override;

    std::shared_ptr<StatusItem> makeStatusItem() override;
    bool openURL(std::string_view address) override;

    bool preflightScreenCaptureAccess() override;
    bool requestScreenCaptureAccess() override;

    // Whether a terminate-later answer still waits for its reply.
    bool isAwaitingTerminationReply() const { return awaitingReply_; }

private:
    explicit QtApplication(GuardedApplication& qtApplication);
    bool allowQuitEvent();
    void finish();

    GuardedApplication& qtApplication_;
    std::weak_ptr<ApplicationDelegate> delegate_;
    bool launched_ = false;
    bool awaitingReply_ = false;
    bool finishing_ = false;
};

}  // namespace kestrova::platform::qt
