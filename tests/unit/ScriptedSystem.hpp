#pragma once

// The whole program on the scripted platform: a desktop whose windows the test opens, retitles and closes, the
// scripted window source and streams, a recording frame server and a scripted application.

#include "AppDelegate.hpp"
#include "scripted/Samples.hpp"
#include "scripted/ScriptedApplication.hpp"
#include "scripted/ScriptedFrameServer.hpp"
#include "scripted/ScriptedScreenCapture.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::testing {

namespace platform = kestrova::platform;
namespace scripted = kestrova::platform::scripted;

// The companion's process, as the window source reports it.
inline constexpr std::int32_t kCompanionProcess = 4321;

class ScriptedSystem {
public:
    platform::ManualLoop loop;
    scripted::EventLog log;
    std::shared_ptr<scripted::ScriptedScreenCapture> screen = std::make_shared<scripted::ScriptedScreenCapture>(log);
    scripted::ScriptedFrameServer frameServer;
    std::shared_ptr<scripted::ScriptedApplication> application = std::make_shared<scripted::ScriptedApplication>(log);

    ScriptedSystem() = default;
    // Set by createDelegate(), so that the end of the test can stop what it started.
    std::shared_ptr<AppDelegate> delegate;

    ~ScriptedSystem() {
        // Every task ends before the main loop it resumes on goes away: polling stops, outstanding queries are
        // answered, held stream requests succeed and a quit still under way finishes.
        if (delegate) delegate->discovery()->stop();
        while (screen->answer(platform::ShareableContentAnswer(platform::ShareableContent{}))) run();
        releaseEverything();
        EXPECT_TRUE(runUntil([this] { return !application->awaitingReply(); }));
    }
    ScriptedSystem(const ScriptedSystem&) = delete;
    ScriptedSystem& operator=(const ScriptedSystem&) = delete;

    Providers providers() const { return {*application, *screen, frameServer.deviceFactory()}; }

    AppDelegate& createDelegate() {
        delegate = AppDelegate::create(providers());
        application->setDelegate(delegate);
        return *delegate;
    }

    // --- the desktop ---
    void open(std::uint32_t id, std::string title, double width = 400, double height = 300) {
        auto record = std::make_shared<platform::WindowRecord>();
        record->windowID = id;
        record->title = std::move(title);
        record->owningApplication = platform::RunningApplication{kCompanionProcess};
        record->frame = {0, 0, width, height};
        desktop_[id] = record;
    }
    void retitle(std::uint32_t id, std::string title) {
        auto record = std::make_shared<platform::WindowRecord>(*desktop_.at(id));
        record->title = std::move(title);
        desktop_[id] = record;
    }
    void close(std::uint32_t id) { desktop_.erase(id); }

    // Answers the outstanding window query with the desktop as it is, and lets the next cycle begin.
    void answerQuery() { answer(platform::ShareableContentAnswer(platform::ShareableContent{desktopWindows()})); }
    void failQuery(std::string description) { answer(platform::ShareableContentAnswer(platform::Error(description))); }

    // --- the capture service ---
    std::shared_ptr<scripted::ScriptedStream> lastStream() const { return screen->lastStream(); }
    void startLastStream(std::optional<platform::Error> error = std::nullopt) {
        ASSERT_TRUE(lastStream());
        ASSERT_TRUE(lastStream()->releaseStart(std::move(error)));
        run();
    }
    // Releases every held start and stop with success, including those that releasing leads to.
    void releaseEverything() {
        for (bool released = true; released;) {
            released = false;
            for (const auto& s : screen->streams()) {
                while (s->releaseStart() || s->releaseStop()) released = true;
            }
            run();
        }
    }

    // --- the main thread ---
    void run() { loop.runUntilIdle(); }
    // Runs the main thread until the condition holds, letting virtual time pass for the bridge's short waits and
    // real time for work on the frame queue.
    bool runUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 500 && !done(); ++i) {
            loop.advance(std::chrono::milliseconds(10));
            loop.runUntil(done, std::chrono::milliseconds(20));
        }
        return done();
    }

    const std::vector<std::string>& shownTexts() {
        texts_ = application->statusItem().shownEntries();
        return texts_;
    }
    std::size_t menuCount() const { return application->statusItem().menus().size(); }

private:
    std::vector<platform::Window> desktopWindows() const {
        std::vector<platform::Window> windows;
        for (const auto& [id, record] : desktop_) windows.push_back(record);
        return windows;
    }
    void answer(platform::ShareableContentAnswer answer) {
        run();
        ASSERT_TRUE(screen->answer(std::move(answer))) << "no window query outstanding";
        run();
        loop.advance(std::chrono::seconds(1));
    }

    std::map<std::uint32_t, platform::Window> desktop_;
    std::vector<std::string> texts_;
};

// The lines ScriptedStatusItem shows for the fixed entries of the status menu.
inline std::string statusLine(const std::string& text) {
    return "\"" + text + "\" action=none key=\"\" target=none disabled off value=none";
}
inline std::string windowEntry(const std::string& title, std::uint32_t id, bool checked) {
    return "\"" + title + "\" action=selectWindow key=\"\" target=set enabled " + (checked ? "on" : "off") +
           " value=" + std::to_string(id);
}
inline const std::string kSeparator = "separator";
inline const std::string kPlaceholder = statusLine("No se detectaron salidas");
inline const std::string kPermissionEntry =
    "\"Permiso de grabaci\u00f3n de pantalla\u2026\" action=openScreenRecordingSettings key=\"\" target=set enabled off "
    "value=none";
inline const std::string kQuitEntry = "\"Salir\" action=terminate key=\"q\" target=none enabled off value=none";

}  // namespace kestrova::testing
