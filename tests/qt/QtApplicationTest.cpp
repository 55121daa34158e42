#include "Dispatch.hpp"
#include "qt/QtApplication.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QDesktopServices>
#include <QObject>
#include <QTimer>
#include <QUrl>

using namespace std::chrono_literals;
using kestrova::platform::Application;
using kestrova::platform::ApplicationDelegate;
using kestrova::platform::mainQueue;
using kestrova::platform::TerminateReply;
using kestrova::platform::qt::GuardedApplication;
using kestrova::platform::qt::QtApplication;

namespace {

constexpr int kHung = 99;

// A delegate that answers quit requests from a script and logs what the application asked of it.
class ScriptedDelegate final : public ApplicationDelegate {
public:
    std::function<void()> onLaunch;
    std::deque<TerminateReply> replies;
    std::function<void(int request)> onRequest;
    std::vector<std::string> log;

    void applicationDidFinishLaunching() override {
        log.push_back("launched");
        if (onLaunch) onLaunch();
    }
    TerminateReply applicationShouldTerminate(Application&) override {
        log.push_back("should terminate");
        const TerminateReply reply = replies.empty() ? TerminateReply::now : replies.front();
        if (!replies.empty()) replies.pop_front();
        if (onRequest) onRequest(++requests_);
        return reply;
    }

private:
    int requests_ = 0;
};

class DeferredQuitTest : public ::testing::Test {
protected:
    DeferredQuitTest()
        : application_(QtApplication::create(static_cast<GuardedApplication&>(*qApp))),
          delegate_(std::make_shared<ScriptedDelegate>()) {
        application_->setDelegate(delegate_);
        // Ends a run that would otherwise hang; exit() passes the quit gate by.
        guard_.setSingleShot(true);
        QObject::connect(&guard_, &QTimer::timeout, [] { QApplication::exit(kHung); });
        guard_.start(10s);
    }

    // Posts a step to run on the loop once the current work is over.
    void later(std::function<void()> step) { mainQueue().post(std::move(step)); }
    void note(const std::string& line) { delegate_->log.push_back(line); }

    std::shared_ptr<QtApplication> application_;
    std::shared_ptr<ScriptedDelegate> delegate_;
    QTimer guard_;
};

TEST_F(DeferredQuitTest, LaunchIsReportedOnceTheLoopRunsAndATrueReplyEndsItWithZero) {
    delegate_->replies = {TerminateReply::later};
    delegate_->onLaunch = [this] { later([this] { application_->terminate(); }); };
    delegate_->onRequest = [this](int) {
        later([this] {
            note("reply true");
            application_->replyToApplicationShouldTerminate(true);
        });
    };
    EXPECT_TRUE(delegate_->log.empty());
    EXPECT_EQ(application_->run(), 0);
    EXPECT_EQ(delegate_->log, (std::vector<std::string>{"launched", "should terminate", "reply true"}));
}

TEST_F(DeferredQuitTest, AFalseReplyKeepsTheLoopServingUntilALaterQuitIsAgreed) {
    delegate_->replies = {TerminateReply::later, TerminateReply::later};
    delegate_->onLaunch = [this] { later([this] { application_->terminate(); }); };
    delegate_->onRequest = [this](int request) {
        const bool agree = request == 2;
        later([this, agree] {
            note(agree ? "reply true" : "reply false");
            application_->replyToApplicationShouldTerminate(agree);
            if (!agree) {
                later([this] {
                    note("still serving");
                    application_->terminate();
                });
            }
        });
    };
    EXPECT_EQ(application_->run(), 0);
    EXPECT_EQ(delegate_->log,
              (std::vector<std::string>{"launched", "should terminate", "reply false", "still serving",
                                        "should terminate", "reply true"}));
}

// Two requests answered later are settled by the first reply; a reply with none open changes nothing.
TEST_F(DeferredQuitTest, OneReplySettlesTheOpenRequestAndFurtherRepliesAreIgnored) {
    delegate_->replies = {TerminateReply::later, TerminateReply::later, TerminateReply::now};
    delegate_->onLaunch = [this] {
        application_->replyToApplicationShouldTerminate(true);
        note(application_->isAwaitingTerminationReply() ? "awaiting" : "nothing open");
        application_->terminate();
        application_->terminate();
        later([this] {
            application_->replyToApplicationShouldTerminate(false);
            application_->replyToApplicationShouldTerminate(true);
            note(application_->isAwaitingTerminationReply() ? "awaiting" : "settled");
            later([this] {
                note("still serving");
                application_->terminate();
            });
        });
    };
    EXPECT_EQ(application_->run(), 0);
    EXPECT_EQ(delegate_->log,
              (std::vector<std::string>{"launched", "nothing open", "should terminate", "should terminate", "settled",
                                        "still serving", "should terminate"}));
}

TEST_F(DeferredQuitTest, ACancelAnswerKeepsRunningAndANowAnswerEndsAtOnce) {
    delegate_->replies = {TerminateReply::cancel, TerminateReply::now};
    delegate_->onLaunch = [this] {
        application_->terminate();
        note(application_->isAwaitingTerminationReply() ? "awaiting" : "not awaiting");
        later([this] {
            note("still serving");
            application_->terminate();
        });
    };
    EXPECT_EQ(application_->run(), 0);
    EXPECT_EQ(delegate_->log, (std::vector<std::string>{"launched", "should terminate", "not awaiting",
                                                        "still serving", "should terminate"}));
}

// QCoreApplication::quit(), as the session's quit request uses it, is a quit request like "Salir".
TEST_F(DeferredQuitTest, QtsOwnQuitGoesThroughTheDelegate) {
    delegate_->replies = {TerminateReply::later};
    delegate_->onLaunch = [] { QCoreApplication::quit(); };
    delegate_->onRequest = [this](int) {
        later([this] {
            note("still serving");
            application_->replyToApplicationShouldTerminate(true);
        });
    };
    EXPECT_EQ(application_->run(), 0);
    EXPECT_EQ(delegate_->log, (std::vector<std::string>{"launched", "should terminate", "still serving"}));
}

TEST_F(DeferredQuitTest, WithoutADelegateAQuitRequestEndsTheLoop) {
    application_->setDelegate({});
    later([this] { application_->terminate(); });
    EXPECT_EQ(application_->run(), 0);
}

// Stands for the desktop's handler of one address scheme.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<std::string> opened;
public slots:
    void open(const QUrl& url) { opened.push_back(url.toString().toStdString()); }
};

TEST(QtApplicationTest, OpenURLHandsTheWholeAddressToTheDesktopAndRefusesWhatIsNoAddress) {
    auto application = QtApplication::create(static_cast<GuardedApplication&>(*qApp));
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("kestrova-settings"), &recorder, "open");
    const std::string address = "kestrova-settings:privacy/screen-recording?panel=1#top";
    EXPECT_TRUE(application->openURL(address));
    EXPECT_FALSE(application->openURL(""));
    EXPECT_FALSE(application->openURL("no scheme at all"));
    EXPECT_FALSE(application->openURL("http://[not-closed"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("kestrova-settings"));
    EXPECT_EQ(recorder.opened, std::vector<std::string>{address});
}

TEST(QtApplicationTest, ScreenCaptureNeedsNoPermissionOnX11) {
    auto application = QtApplication::create(static_cast<GuardedApplication&>(*qApp));
    EXPECT_TRUE(application->preflightScreenCaptureAccess());
    EXPECT_TRUE(application->requestScreenCaptureAccess());
}

}  // namespace

#include "QtApplicationTest.moc"
