#include "QtApplication.hpp"

#include "QtStatusItem.hpp"

#include <string>

#include <QDesktopServices>
#include <QMetaObject>
#include <QString>
#include <QUrl>

namespace kestrova::platform::qt {

std::shared_ptr<QtApplication> QtApplication::create(GuardedApplication& qtApplication) {
    return std::shared_ptr<QtApplication>(new QtApplication(qtApplication));
}

QtApplication::QtApplication(GuardedApplication& qtApplication) : qtApplication_(qtApplication) {
    qtApplication_.setQuitGate([this] { return allowQuitEvent(); });
}

QtApplication::~QtApplication() { qtApplication_.setQuitGate({}); }

void QtApplication::setDelegate(std::weak_ptr<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }

void QtApplication::setActivationPolicy(ActivationPolicy) {}

int QtApplication::run() {
    if (finishing_) return 0;
    if (!launched_) {
        launched_ = true;
        QMetaObject::invokeMethod(
            &qtApplication_,
            [weak = weak_from_this()] {
                const auto self = weak.lock();
                if (!self) return;
                if (const auto delegate = self->delegate_.lock()) delegate->applicationDidFinishLaunching();
            },
            Qt::QueuedConnection);
    }
    return QApplication::exec();
}

void QtApplication::terminate() {
    if (finishing_) return;
    const auto delegate = delegate_.lock();
    if (!delegate) {
        finish();
        return;
    }
    switch (delegate->applicationShouldTerminate(*this)) {
        case TerminateReply::now:
            finish();
            return;
        case TerminateReply::cancel:
            return;
        case TerminateReply::later:
            awaitingReply_ = true;
            return;
    }
}

void QtApplication::replyToApplicationShouldTerminate(bool shouldTerminate) {
    // Only an open terminate-later request takes a reply; any further reply finds none and changes nothing.
    if (!awaitingReply_) return;
    awaitingReply_ = false;
    if (shouldTerminate) finish();
}

bool QtApplication::allowQuitEvent() {
    // A quit event that did not come from an agreed quit is a quit request like any other.
    if (!finishing_) terminate();
    return finishing_;
}

void QtApplication::finish() {
    finishing_ = true;
    // exit() ends the loop without another quit event; before run() it is remembered through finishing_.
    QApplication::exit(0);
}

std::shared_ptr<StatusItem> QtApplication::makeStatusItem() {
    return std::make_shared<QtStatusItem>(weak_from_this());
}

bool QtApplication::openURL(std::string_view address) {
    const QUrl url(QString::fromUtf8(address.data(), static_cast<qsizetype>(address.size())), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty()) return false;
    return QDesktopServices::openUrl(url);
}

bool QtApplication::preflightScreenCaptureAccess() { return true; }

bool QtApplication::requestScreenCaptureAccess() { return true; }

}  // namespace kestrova::platform::qt
