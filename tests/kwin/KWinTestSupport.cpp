#include "KWinTestSupport.hpp"

#include "KWinScreenCapture.hpp"
#include "WaitUntil.hpp"

#include <csignal>
#include <cstdlib>
#include <memory>
#include <optional>

#include <unistd.h>

namespace kestrova::testing {

namespace {

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

ChildProcess::Options companionOptions(const std::string& socket) {
    ChildProcess::Options options;
    options.environment["WAYLAND_DISPLAY"] = socket.empty() ? useTestCompositor() : socket;
    options.pipeStdin = true;
    return options;
}

ChildProcess::Options kwinOptions() {
    ChildProcess::Options options;
    options.environment["KWIN_WAYLAND_NO_PERMISSION_CHECKS"] = "1";
    options.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY"};
    return options;
}

}  // namespace

std::string useTestCompositor() {
    const char* socket = std::getenv("KESTROVA_KWIN_SOCKET");
    if (socket == nullptr || *socket == '\0') return {};
    setenv("WAYLAND_DISPLAY", socket, 1);
    // KWin opens its socket before it has loaded the screencast interface.
    static const bool ready = waitUntil([] { return platform::kwin::sessionOffersWindowCapture(); }, kWaitBound);
    return ready ? socket : std::string();
}

PrivateKWin::PrivateKWin()
    : socket_("kestrova-private-kwin-" + std::to_string(getpid())),
      process_({"kwin_wayland", "--virtual", "--no-lockscreen", "--socket", socket_, "--width", "640", "--height",
                "480"},
               kwinOptions()) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string path = std::string(runtime ? runtime : "") + "/" + socket_;
    if (!waitUntil([&] { return access(path.c_str(), F_OK) == 0; }, kWaitBound)) socket_.clear();
}

bool PrivateKWin::kill() {
    process_.signal(SIGKILL);
    return process_.wait(kWaitBound).has_value();
}

WaylandCompanion::WaylandCompanion(const std::string& socket)
    : process_({KESTROVA_OUTPUT_DEMO_PATH, "--wayland"}, companionOptions(socket)) {}

WaylandCompanion::~WaylandCompanion() {
    if (!process_.running()) return;
    for (const auto& name : opened_) command("close " + name);
}

bool WaylandCompanion::command(const std::string& line) {
    if (line.rfind("open ", 0) == 0) {
        const auto end = line.find(' ', 5);
        opened_.push_back(line.substr(5, end == std::string::npos ? std::string::npos : end - 5));
    }
    // The same command may have been answered before: wait for one more answer than there was.
    const std::string answer = "ok " + line + "\n";
    const std::size_t before = occurrences(process_.stdoutText(), answer);
    if (!process_.writeLine(line)) return false;
    bool refused = false;
    const bool answered = waitUntil(
        [&] {
            const std::string out = process_.stdoutText();
            refused = out.find("error " + line + "\n") != std::string::npos;
            return refused || occurrences(out, answer) > before;
        },
        kWaitBound);
    return answered && !refused;
}

platform::ShareableContentAnswer listWindows(platform::ManualLoop& loop, platform::ScreenCaptureService& service) {
    // The answer arrives on the provider's thread and is handed to the main queue, which the loop runs.
    auto answer = std::make_shared<std::optional<platform::ShareableContentAnswer>>();
    service.getShareableContent(true, false, [answer](platform::ShareableContentAnswer a) {
        platform::mainQueue().post([answer, a = std::move(a)] { *answer = a; });
    });
    if (!loop.runUntil([&] { return answer->has_value(); }, kWaitBound)) {
        return platform::ShareableContentAnswer(platform::Error("no answer within the bound"));
    }
    return **answer;
}

platform::ShareableContentAnswer listUntil(platform::ManualLoop& loop, platform::ScreenCaptureService& service,
                                           const std::function<bool(const platform::ShareableContent&)>& done) {
    auto answer = listWindows(loop, service);
    waitUntil(
        [&] {
            if (answer.content && done(*answer.content)) return true;
            answer = listWindows(loop, service);
            return answer.content && done(*answer.content);
        },
        kWaitBound);
    return answer;
}

platform::Window titled(const platform::ShareableContent& content, const std::string& title) {
    for (const auto& window : content.windows) {
        if (window->title == title) return window;
    }
    return nullptr;
}

}  // namespace kestrova::testing
