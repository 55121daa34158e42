#include "WindowDiscovery.hpp"
#include "scripted/ScriptedScreenCapture.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>

#include <unicode/locid.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using kestrova::DiscoveredWindow;
using kestrova::WindowDiscovery;
namespace platform = kestrova::platform;
namespace scripted = kestrova::platform::scripted;

namespace {

platform::Window window(std::uint32_t id, std::optional<std::string> title, std::int64_t layer = 0,
                        std::optional<std::int32_t> pid = 4242) {
    auto w = std::make_shared<platform::WindowRecord>();
    w->windowID = id;
    w->title = std::move(title);
    w->windowLayer = layer;
    if (pid) w->owningApplication = platform::RunningApplication{*pid};
    return w;
}

platform::ShareableContentAnswer content(std::vector<platform::Window> windows) {
    return platform::ShareableContentAnswer(platform::ShareableContent{std::move(windows)});
}

struct DiscoveryFixture : ::testing::Test {
    platform::ManualLoop loop;
    scripted::EventLog log;
    std::shared_ptr<scripted::ScriptedScreenCapture> source = std::make_shared<scripted::ScriptedScreenCapture>(log);
    std::shared_ptr<WindowDiscovery> discovery = WindowDiscovery::create(*source);
    std::vector<std::string> reports;

    void SetUp() override {
        discovery->onChange = [this](const std::vector<DiscoveredWindow>& list) {
            reports.push_back("change " + kestrova::signature(list));
        };
        discovery->onError = [this](const platform::Error& e) { reports.push_back("error " + e.description); };
    }
    void TearDown() override {
        discovery->stop();
        while (source->pendingQueries() > 0) source->answer(content({}));
        loop.advance(2s);
    }
    // Answers the outstanding query and lets the next cycle begin.
    void cycle(platform::ShareableContentAnswer a) {
        loop.runUntilIdle();
        source->answer(std::move(a));
        loop.runUntilIdle();
        loop.advance(1s);
    }
};

TEST(OutputWindowsTest, FiltersByLayerOwnerAndExactPrefix) {
    const std::int32_t self = 100;
    const auto kept = kestrova::outputWindows(
        {window(1, "Kestrova Output | A"), window(2, "Kestrova Output | B", 3), window(3, "Kestrova Output | C", 0, self),
         window(4, "Kestrova Output | D", 0, std::nullopt), window(5, "Kestrova Output"), window(6, " Kestrova Output | E"),
         window(7, "kestrova output | F"), window(8, "Kestrova Output |"), window(9, std::nullopt)},
        self);
    EXPECT_EQ(kestrova::signature(kept), "8:Kestrova Output ||1:Kestrova Output | A|4:Kestrova Output | D");
}

TEST(OutputWindowsTest, NaturalStableOrder) {
    const auto kept = kestrova::outputWindows(
        {window(1, "Kestrova Output | 10"), window(2, "Kestrova Output | b"), window(3, "Kestrova Output | 2"),
         window(4, "Kestrova Output | A"), window(5, "Kestrova Output | a"), window(6, "Kestrova Output | 2")},
        0);
    std::vector<std::uint32_t> ids;
    for (const auto& w : kept) ids.push_back(w.id());
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{3, 6, 1, 4, 5, 2}));
}

// Makes ICU's default locale the given one for the test's duration.
class DefaultLocale {
public:
    explicit DefaultLocale(const char* name) : previous_(icu::Locale::getDefault()) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale(name), status);
    }
    ~DefaultLocale() {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(previous_, status);
    }
    DefaultLocale(const DefaultLocale&) = delete;
    DefaultLocale& operator=(const DefaultLocale&) = delete;

private:
    icu::Locale previous_;
};

TEST(OutputWindowsTest, CaseIsIgnoredUnderEveryLocaleWhichDecidesTheRest) {
    struct Case {
        const char* locale;
        std::vector<std::string> order;
    };
    // en_US_POSIX is what ICU makes of the C, C.UTF-8 and POSIX locales. Spanish sorts ñ as a letter after n.
    const Case cases[] = {
        {"en_US_POSIX", {"A", "b", "ña", "nb", "Uno"}},
        {"en_US", {"A", "b", "ña", "nb", "Uno"}},
        {"es_AR", {"A", "b", "nb", "ña", "Uno"}},
    };
    const std::string prefix = "Kestrova Output | ";
    for (const auto& c : cases) {
        DefaultLocale locale(c.locale);
        ASSERT_STREQ(icu::Locale::getDefault().getName(), c.locale);
        std::vector<platform::Window> windows;
        std::uint32_t id = 0;
        for (const char* title : {"b", "Uno", "nb", "A", "ña"}) windows.push_back(window(++id, prefix + title));
        std::vector<std::string> order;
        for (const auto& w : kestrova::outputWindows(windows, 0)) order.push_back(w.title().substr(prefix.size()));
        EXPECT_EQ(order, c.order) << c.locale;
    }
}

TEST(OutputWindowsTest, UntitledWindowGetsTheFallbackTitle) {
    EXPECT_EQ((DiscoveredWindow{window(1, std::nullopt)}.title()), "Kestrova Output");
}

TEST(OutputWindowsTest, HostileTitlesAreKeptWholeAndOrderedWithoutFault) {
    const std::string prefix = "Kestrova Output | ";
    const std::string huge = prefix + std::string(10000, 'x');
    const std::string invalid = prefix + "\xff\xfe\xc3(";  // bytes that are not UTF-8
    const std::string truncated = prefix + "\xe2\x80";    // a sequence cut short at the end
    std::vector<platform::Window> windows{window(1, huge), window(2, invalid), window(3, truncated)};
    for (std::uint32_t id = 10; id < 210; ++id) windows.push_back(window(id, prefix + std::to_string(id)));
    const auto kept = kestrova::outputWindows(windows, 0);
    ASSERT_EQ(kept.size(), 203u);
    std::set<std::uint32_t> ids;
    for (const auto& w : kept) ids.insert(w.id());
    EXPECT_EQ(ids.size(), 203u);
    for (const auto& w : kept) {
        if (w.id() == 1) {
            EXPECT_EQ(w.title(), huge);
        } else if (w.id() == 2) {
            EXPECT_EQ(w.title(), invalid);
        }
    }
    // Digit runs by value, so 10 … 209 keep their numeric order among themselves.
    std::vector<std::uint32_t> numbered;
    for (const auto& w : kept) {
        if (w.id() >= 10) numbered.push_back(w.id());
    }
    EXPECT_TRUE(std::is_sorted(numbered.begin(), numbered.end()));
}

TEST_F(DiscoveryFixture, ReportsChangesOnlyAndEachFailureRunOnce) {
    discovery->start();
    discovery->start();
    cycle(content({}));  // empty first list equals the initial signature
    cycle(content({window(7, "Kestrova Output | X")}));
    cycle(content({window(7, "Kestrova Output | X")}));
    cycle(platform::ShareableContentAnswer(platform::Error("sin permiso")));
    cycle(platform::ShareableContentAnswer(platform::Error("otra vez")));
    cycle(platform::ShareableContentAnswer());  // neither content nor error
    cycle(content({}));
    cycle(content({window(7, "Kestrova Output | Y")}));
    EXPECT_EQ(reports, (std::vector<std::string>{"change 7:Kestrova Output | X", "error sin permiso", "change ",
                                                 "change 7:Kestrova Output | Y"}));
    EXPECT_EQ(source->queryCount(), 9);  // one poller, one query per cycle, plus the one now outstanding
    for (const auto& query : log.events()) EXPECT_EQ(query, "query without desktop, all windows");
}

TEST_F(DiscoveryFixture, AnswerAfterStopIsDiscardedAndRestartReportsOnlyChanges) {
    discovery->start();
    cycle(content({window(1, "Kestrova Output | A")}));
    loop.runUntilIdle();
    discovery->stop();
    source->answer(content({window(2, "Kestrova Output | B")}), scripted::On::otherThread);
    loop.runUntilIdle();
    loop.advance(3s);
    EXPECT_EQ(source->queryCount(), 2);  // the stopped poller asks nothing more
    discovery->start();
    cycle(content({window(1, "Kestrova Output | A")}));
    EXPECT_EQ(reports, std::vector<std::string>{"change 1:Kestrova Output | A"});
}

TEST(WindowDiscoveryLifetimeTest, DestroyingTheDiscoveryEndsItsPoller) {
    platform::ManualLoop loop;
    scripted::EventLog log;
    auto source = std::make_shared<scripted::ScriptedScreenCapture>(log);
    auto discovery = WindowDiscovery::create(*source);
    discovery->start();
    loop.runUntilIdle();
    ASSERT_TRUE(source->answer(content({})));
    loop.runUntilIdle();
    ASSERT_EQ(loop.timerCount(), 1u);  // the poller waits for the next cycle
    discovery.reset();
    loop.advance(5s);
    EXPECT_EQ(loop.timerCount(), 0u) << "the poller still wakes for a discovery that is gone";
    EXPECT_EQ(loop.readyCount(), 0u);
    EXPECT_EQ(source->queryCount(), 1);
}

TEST_F(DiscoveryFixture, FirstCycleFailureIsReported) {
    discovery->start();
    cycle(platform::ShareableContentAnswer(platform::Error("pantalla perdida")));
    EXPECT_EQ(reports, std::vector<std::string>{"error pantalla perdida"});
}

}  // namespace
