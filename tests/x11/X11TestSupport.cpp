#include "X11TestSupport.hpp"

#include "WaitUntil.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace kestrova::testing {

namespace {

using namespace std::chrono_literals;

ChildProcess::Options onDisplay(const std::string& display, bool pipeStdin) {
    ChildProcess::Options options;
    if (!display.empty()) options.environment["DISPLAY"] = display;
    options.pipeStdin = pipeStdin;
    return options;
}

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

xcb_atom_t intern(xcb_connection_t* connection, const char* name) {
    auto* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

}  // namespace

Companion::Companion(const std::string& display)
    : process_({KESTROVA_OUTPUT_DEMO_PATH}, onDisplay(display, true)) {}

Companion::~Companion() {
    for (const auto& name : opened_) command("close " + name);
}

bool Companion::command(const std::string& line) {
    if (line.rfind("open ", 0) == 0) {
        const auto name = line.substr(5, line.find(' ', 5) == std::string::npos ? std::string::npos
                                                                                 : line.find(' ', 5) - 5);
        opened_.push_back(name);
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
        kBound);
    return answered && !refused;
}

OwnWindow::OwnWindow(const std::string& title, bool mapped) : connection_(xcb_connect(nullptr, nullptr)) {
    if (xcb_connection_has_error(connection_)) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    id_ = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, id_, screen->root, 0, 0, 200, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    const auto length = static_cast<std::uint32_t>(title.size());
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, id_, intern(connection_, "_NET_WM_NAME"),
                        intern(connection_, "UTF8_STRING"), 8, length, title.data());
    if (mapped) xcb_map_window(connection_, id_);
    // A round trip, so that the window exists for every other client once this returns.
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

OwnWindow::~OwnWindow() { xcb_disconnect(connection_); }

platform::ShareableContentAnswer listWindows(platform::ManualLoop& loop, platform::ScreenCaptureService& service) {
    // The answer arrives on the provider's thread and is handed to the main queue, which the loop runs.
    auto answer = std::make_shared<std::optional<platform::ShareableContentAnswer>>();
    service.getShareableContent(true, false, [answer](platform::ShareableContentAnswer a) {
        platform::mainQueue().post([answer, a = std::move(a)] { *answer = a; });
    });
    if (!loop.runUntil([&] { return answer->has_value(); }, kBound)) {
        return platform::ShareableContentAnswer(platform::Error("no answer within the bound"));
    }
    return **answer;
}

platform::ShareableContentAnswer listUntil(platform::ManualLoop& loop, platform::ScreenCaptureService& service,
                                           const std::function<bool(const platform::ShareableContent&)>& done) {
    platform::ShareableContentAnswer answer;
    (void)waitUntil(
        [&] {
            answer = listWindows(loop, service);
            return answer.content && done(*answer.content);
        },
        kBound, 50ms);
    return answer;
}

platform::Window titled(const platform::ShareableContent& content, const std::string& title) {
    for (const auto& window : content.windows) {
        if (window->title == title) return window;
    }
    return nullptr;
}

}  // namespace kestrova::testing
