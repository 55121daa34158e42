// kestrova_qt_probe: a small program that stands where the bridge would, using only the platform interfaces and
// the Qt runtime. It shows a fixed menu with two window entries, reports every action it receives as one line on
// standard output, and answers quit requests later through the deferred reply. With --refuse-first-quit the
// first quit request is refused.

#include "AppFramework.hpp"
#include "Dispatch.hpp"
#include "qt/QtRuntime.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace platform = kestrova::platform;

namespace {

struct ProbeWindow {
    std::uint32_t id;
    const char* title;
};

constexpr ProbeWindow kWindows[] = {{7, "Kestrova Output | Luz & Sombra"}, {4294967295u, "Kestrova Output | Ancho"}};

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

class Probe final : public platform::ApplicationDelegate,
                    public platform::MenuTarget,
                    public std::enable_shared_from_this<Probe> {
public:
    Probe(platform::Application& application, bool refuseFirstQuit)
        : statusItem_(application.makeStatusItem()), refuseFirstQuit_(refuseFirstQuit) {}

    void applicationDidFinishLaunching() override {
        if (auto* button = statusItem_->button()) button->setTitle(platform::qt::kApplicationName);
        rebuildMenu();
        say("launched");
    }

    platform::TerminateReply applicationShouldTerminate(platform::Application& sender) override {
        ++quitRequests_;
        say("terminate requested");
        const bool refuse = refuseFirstQuit_ && quitRequests_ == 1;
        platform::mainQueue().postAfter(std::chrono::milliseconds(20), [&sender, refuse] {
            if (refuse) say("quit refused");
            sender.replyToApplicationShouldTerminate(!refuse);
        });
        return platform::TerminateReply::later;
    }

    void selectWindow(const platform::MenuItem& sender) override {
        const auto* id = std::get_if<std::uint32_t>(&sender.representedObject);
        if (id == nullptr) return;
        say("selected " + std::to_string(*id));
        selected_ = *id;
        statusText_ = "Elegida " + std::to_string(*id);
        rebuildMenu();
    }

    void openScreenRecordingSettings() override { say("settings"); }

private:
    void rebuildMenu() {
        platform::Menu menu;
        platform::MenuItem status;
        status.title = statusText_;
        status.enabled = false;
        menu.addItem(status);
        menu.addItem(platform::MenuSeparator{});
        for (const auto& window : kWindows) {
            platform::MenuItem entry;
            entry.title = window.title;
            entry.action = platform::MenuAction::selectWindow;
            entry.target = weak_from_this();
            entry.state = selected_ == window.id ? platform::MenuItemState::on : platform::MenuItemState::off;
            entry.representedObject = window.id;
            menu.addItem(entry);
        }
        menu.addItem(platform::MenuSeparator{});
        platform::MenuItem settings;
        settings.title = "Permiso de grabación de pantalla\u2026";
        settings.action = platform::MenuAction::openScreenRecordingSettings;
        settings.target = weak_from_this();
        menu.addItem(settings);
        platform::MenuItem quit;
        quit.title = "Salir";
        quit.action = platform::MenuAction::terminate;
        quit.keyEquivalent = "q";
        menu.addItem(quit);
        statusItem_->setMenu(std::move(menu));
    }

    std::shared_ptr<platform::StatusItem> statusItem_;
    bool refuseFirstQuit_;
    int quitRequests_ = 0;
    std::optional<std::uint32_t> selected_;
    std::string statusText_ = "Buscando pantallas Kestrova";
};

}  // namespace

int main(int argc, char** argv) {
    if (const auto reason = platform::qt::desktopUnavailableReason()) {
        std::fputs(("kestrova_qt_probe: " + *reason + "\n").c_str(), stderr);
        return 1;
    }
    const bool refuseFirstQuit = argc > 1 && std::string_view(argv[1]) == "--refuse-first-quit";
    platform::qt::Runtime runtime(argc, argv);
    auto probe = std::make_shared<Probe>(runtime.application(), refuseFirstQuit);
    runtime.application().setDelegate(probe);
    runtime.application().setActivationPolicy(platform::ActivationPolicy::accessory);
    return runtime.application().run();
}
