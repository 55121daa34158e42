#include "X11Support.hpp"

#include "DemoPattern.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <sstream>
#include <thread>

namespace kestrova::testing::x11 {

namespace {

const std::string kDemoProgram = KESTROVA_OUTPUT_DEMO_PATH;
constexpr std::size_t kRecentFrames = 8;

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <class T>
Reply<T> reply(T* r) {
    return Reply<T>(r, &std::free);
}

}  // namespace

PrivateDisplay::PrivateDisplay(std::vector<std::string> extraArguments) {
    // -displayfd picks a free display and writes its number to our output; -noreset keeps the server up when
    // its last client leaves.
    std::vector<std::string> argv{"Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0",
                                  "1280x1024x24"};
    argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
    server_ = std::make_unique<ChildProcess>(argv);
    if (!server_->waitForOutput("\n", kBound)) return;
    const std::string text = server_->stdoutText();
    name_ = ":" + text.substr(0, text.find('\n'));
}

void PrivateDisplay::kill() {
    server_->signal(SIGKILL);
    server_->wait(kBound);
}

DemoProcess::DemoProcess(std::vector<std::string> arguments, const std::string& display)
    : child_(
          [&] {
              std::vector<std::string> argv{kDemoProgram};
              argv.insert(argv.end(), arguments.begin(), arguments.end());
              return argv;
          }(),
          [&] {
              ChildProcess::Options options;
              options.pipeStdin = true;
              if (!display.empty()) options.environment["DISPLAY"] = display;
              return options;
          }()) {
    for (const auto& argument : arguments) {
        if (!argument.starts_with("--") && (argument.empty() || !std::isdigit(static_cast<unsigned char>(argument[0])))) {
            nextLine();
        }
    }
}

std::optional<std::string> DemoProcess::nextLine() {
    std::optional<std::string> line;
    eventually([&] {
        std::istringstream lines(child_.stdoutText());
        std::string text;
        for (std::size_t i = 0; i <= answered_ && std::getline(lines, text);) {
            if (lines.eof()) return false;  // a line still being written
            if (i++ == answered_) line = text;
        }
        return line.has_value();
    });
    if (line) ++answered_;
    return line;
}

std::string DemoProcess::command(const std::string& line) {
    if (!child_.writeLine(line)) return "";
    return nextLine().value_or("");
}

xcb_window_t DemoProcess::window(const std::string& name) const {
    std::istringstream lines(child_.stdoutText());
    std::string text;
    const std::string prefix = "ready open " + name + " ";
    while (std::getline(lines, text)) {
        if (text.starts_with(prefix)) return static_cast<xcb_window_t>(std::stoul(text.substr(prefix.size()), nullptr, 16));
    }
    return XCB_WINDOW_NONE;
}

XClient::XClient(const std::string& display) : c_(xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr)) {
    if (connected()) screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
}

XClient::~XClient() { xcb_disconnect(c_); }

xcb_atom_t XClient::atom(const std::string& name) {
    auto r = reply(xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr));
    return r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
}

xcb_window_t XClient::createWindow(std::uint16_t width, std::uint16_t height, bool overrideRedirect, bool inputOnly) {
    const xcb_window_t window = xcb_generate_id(c_);
    const std::uint32_t values[] = {overrideRedirect ? 1u : 0u};
    xcb_create_window(c_, inputOnly ? 0 : XCB_COPY_FROM_PARENT, window, root(), 10, 20, width, height, 0,
                      inputOnly ? XCB_WINDOW_CLASS_INPUT_ONLY : XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_OVERRIDE_REDIRECT, values);
    return window;
}

void XClient::setText(xcb_window_t window, const std::string& property, const std::string& type,
                      const std::string& text) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom(property), atom(type), 8,
                        static_cast<std::uint32_t>(text.size()), text.data());
}

void XClient::setAtoms(xcb_window_t window, const std::string& property, const std::vector<std::string>& values) {
    std::vector<xcb_atom_t> atoms;
    for (const auto& v : values) atoms.push_back(atom(v));
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom(property), XCB_ATOM_ATOM, 32,
                        static_cast<std::uint32_t>(atoms.size()), atoms.data());
}

void XClient::setCardinal(xcb_window_t window, const std::string& property, std::uint32_t value) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom(property), XCB_ATOM_CARDINAL, 32, 1, &value);
}

void XClient::setRootText(const std::string& property, const std::string& text) {
    setText(root(), property, "STRING", text);
}

xcb_window_t XClient::parentOf(xcb_window_t window) {
    auto r = reply(xcb_query_tree_reply(c_, xcb_query_tree(c_, window), nullptr));
    return r ? r->parent : xcb_window_t{XCB_WINDOW_NONE};
}

std::optional<std::uint32_t> XClient::wmState(xcb_window_t window) {
    const xcb_atom_t state = atom("WM_STATE");
    auto r = reply(xcb_get_property_reply(c_, xcb_get_property(c_, 0, window, state, state, 0, 2), nullptr));
    if (!r || r->format != 32 || xcb_get_property_value_length(r.get()) < 4) return std::nullopt;
    return *static_cast<const std::uint32_t*>(xcb_get_property_value(r.get()));
}

std::optional<xcb_window_t> XClient::supportingWmCheck() {
    auto r = reply(xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, root(), atom("_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW, 0, 1), nullptr));
    if (!r || r->format != 32 || xcb_get_property_value_length(r.get()) < 4) return std::nullopt;
    return *static_cast<const xcb_window_t*>(xcb_get_property_value(r.get()));
}

void XClient::sendToRoot(xcb_window_t window, const std::string& type, std::uint32_t value) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = atom(type);
    message.data.data32[0] = value;
    xcb_send_event(c_, 0, root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    sync();
}

void XClient::sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

platform::ShareableContentAnswer query(platform::ScreenCaptureService& service, bool excludingDesktopWindows,
                                       bool onScreenWindowsOnly) {
    auto promise = std::make_shared<std::promise<platform::ShareableContentAnswer>>();
    auto answer = promise->get_future();
    service.getShareableContent(excludingDesktopWindows, onScreenWindowsOnly,
                                [promise](platform::ShareableContentAnswer a) { promise->set_value(std::move(a)); });
    if (answer.wait_for(kBound) != std::future_status::ready) {
        ADD_FAILURE() << "the window query did not complete";
        return platform::ShareableContentAnswer(platform::Error("no answer"));
    }
    return answer.get();
}

platform::Window findWindow(const platform::ShareableContentAnswer& answer, std::uint32_t id) {
    if (!answer.content) return nullptr;
    for (const auto& w : answer.content->windows) {
        if (w->windowID == id) return w;
    }
    return nullptr;
}

namespace {

std::optional<std::optional<platform::Error>> outcomeOf(platform::Stream& stream,
                                                        void (platform::Stream::*request)(platform::StreamCompletion)) {
    auto promise = std::make_shared<std::promise<std::optional<platform::Error>>>();
    auto outcome = promise->get_future();
    (stream.*request)([promise](std::optional<platform::Error> e) { promise->set_value(std::move(e)); });
    if (outcome.wait_for(kBound) != std::future_status::ready) return std::nullopt;
    return outcome.get();
}

}  // namespace

std::optional<std::optional<platform::Error>> startOf(platform::Stream& stream) {
    return outcomeOf(stream, &platform::Stream::startCapture);
}

std::optional<std::optional<platform::Error>> stopOf(platform::Stream& stream) {
    return outcomeOf(stream, &platform::Stream::stopCapture);
}

platform::StreamConfiguration doubledConfiguration(double width, double height) {
    platform::StreamConfiguration configuration;
    configuration.setPixelFormat(0x42475241);
    configuration.setMinimumFrameInterval({1, 60});
    configuration.setQueueDepth(3);
    configuration.setShowsCursor(false);
    configuration.setWidth(static_cast<std::int64_t>(2 * std::ceil(width)));
    configuration.setHeight(static_cast<std::int64_t>(2 * std::ceil(height)));
    configuration.setScalesToFit(true);
    return configuration;
}

void FrameLog::record(const platform::PixelBuffer& buffer) {
    Frame frame;
    frame.width = buffer.width();
    frame.height = buffer.height();
    frame.stride = buffer.bytesPerRow();
    frame.pixelFormat = buffer.pixelFormat();
    frame.pixels.assign(buffer.bytes(), buffer.bytes() + buffer.byteCount());
    {
        std::lock_guard lock(mutex_);
        recent_.push_back(std::move(frame));
        if (recent_.size() > kRecentFrames) recent_.pop_front();
        ++count_;
    }
    changed_.notify_all();
}

void FrameLog::recordStop(const platform::Error& error) {
    {
        std::lock_guard lock(mutex_);
        stops_.push_back(error);
    }
    changed_.notify_all();
}

bool FrameLog::waitForFrames(std::size_t total, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return count_ >= total; });
}

bool FrameLog::waitForStop(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return !stops_.empty(); });
}

bool FrameLog::waitForFrame(std::size_t after, const std::function<bool(const Frame&)>& check,
                            std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] {
        const std::size_t fresh = std::min(count_ - std::min(after, count_), recent_.size());
        return std::any_of(recent_.end() - static_cast<std::ptrdiff_t>(fresh), recent_.end(), check);
    });
}

std::size_t FrameLog::count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

std::vector<Frame> FrameLog::recent() const {
    std::lock_guard lock(mutex_);
    return {recent_.begin(), recent_.end()};
}

std::vector<platform::Error> FrameLog::stops() const {
    std::lock_guard lock(mutex_);
    return stops_;
}

void StreamRecorder::streamDidOutputSampleBuffer(platform::Stream&, const platform::SampleBuffer& sample,
                                                 int outputType) {
    if (outputType == 0 && sample.imageBuffer) log.record(*sample.imageBuffer);
}

void StreamRecorder::streamDidStopWithError(platform::Stream&, const platform::Error& error) { log.recordStop(error); }

std::size_t openDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

bool showsDemoFrameDoubled(const Frame& frame, std::uint32_t windowWidth, std::uint32_t windowHeight) {
    if (frame.width != 2 * windowWidth || frame.height != 2 * windowHeight) return false;
    const auto counter = demo::decodeCounter(frame.pixels.data(), frame.stride, 0, 0, frame.width, frame.height);
    if (!counter) return false;
    const std::size_t stride = std::size_t{windowWidth} * 4;
    std::vector<std::uint8_t> expected(stride * windowHeight);
    demo::render(*counter, windowWidth, windowHeight, expected.data(), stride);
    for (std::uint32_t y = 0; y < frame.height; ++y) {
        for (std::uint32_t x = 0; x < frame.width; ++x) {
            if (std::memcmp(frame.pixels.data() + y * frame.stride + 4 * std::size_t{x},
                            expected.data() + (y / 2) * stride + 4 * std::size_t{x / 2}, 4) != 0) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace kestrova::testing::x11
