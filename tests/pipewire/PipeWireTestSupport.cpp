#include "PipeWireTestSupport.hpp"

#include "pipewire/PipeWireConnection.hpp"
#include "WaitUntil.hpp"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <pipewire/pipewire.h>
#include <sys/stat.h>

namespace kestrova::testing {

namespace {

using platform::pipewire::PipeWireConnection;

// Every channel of every pixel differs from its neighbours and from the same byte of nearby frames.
std::uint8_t patternByte(std::uint32_t index, std::uint32_t x, std::uint32_t y, std::uint32_t channel) {
    return static_cast<std::uint8_t>(index * 31 + x * 7 + y * 13 + channel * 59);
}

constexpr std::chrono::milliseconds kPublishPace{8};

// The daemon's own configuration: from the directory it is pointed at (a PipeWire other than the system's), else
// the system's.
std::string stockConfiguration() {
    const char* dir = std::getenv("PIPEWIRE_CONFIG_DIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/pipewire") + "/pipewire.conf";
}

// Copies the configuration without the module entry that makes clients' nodes: clients connect and are answered,
// but their streams fail. The entry is one line on 0.3 and a block with a condition on 1.x, so the whole braced
// entry goes.
void writeWithoutClientNodes(const std::string& stockPath, const std::string& path) {
    std::ifstream stock(stockPath);
    std::ofstream refusing(path);
    int skippedDepth = 0;
    for (std::string line; std::getline(stock, line);) {
        if (skippedDepth == 0 && line.find("libpipewire-module-client-node") == std::string::npos) {
            refusing << line << '\n';
            continue;
        }
        for (const char c : line) skippedDepth += c == '{' ? 1 : c == '}' ? -1 : 0;
    }
}

}  // namespace

platform::PixelBufferRef patternFrame(std::uint32_t width, std::uint32_t height, std::uint32_t index) {
    auto frame = platform::PixelBuffer::create(width, height);
    if (!frame) return nullptr;
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* row = frame->bytes() + y * frame->bytesPerRow();
        for (std::uint32_t x = 0; x < width; ++x) {
            for (std::uint32_t c = 0; c < 4; ++c) row[x * 4 + c] = patternByte(index, x, y, c);
        }
    }
    std::memcpy(frame->bytes(), &index, sizeof(index));
    return frame;
}

std::optional<std::uint32_t> patternIndex(std::uint32_t width, std::uint32_t height, const std::uint8_t* pixels,
                                          std::size_t bytesPerRow) {
    if (width == 0 || height == 0) return std::nullopt;
    std::uint32_t index = 0;
    std::memcpy(&index, pixels, sizeof(index));
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* row = pixels + y * bytesPerRow;
        for (std::uint32_t x = y == 0 ? 1 : 0; x < width; ++x) {
            for (std::uint32_t c = 0; c < 4; ++c) {
                if (row[x * 4 + c] != patternByte(index, x, y, c)) return std::nullopt;
            }
        }
    }
    return index;
}

receive::FrameReceiver::FrameHandler FrameLog::handler() {
    return [this](const receive::FrameView& view) {
        ReceivedFrame frame{view.width, view.height,
                            patternIndex(view.width, view.height, view.pixels, view.bytesPerRow), view.sequence};
        std::lock_guard lock(mutex_);
        frames_.push_back(frame);
        changed_.notify_all();
    };
}

bool FrameLog::waitFor(const std::function<bool(const std::vector<ReceivedFrame>&)>& condition,
                       std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return condition(frames_); });
}

std::vector<ReceivedFrame> FrameLog::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

FrameMaker patternFrames(std::uint32_t width, std::uint32_t height) {
    return [width, height](std::uint32_t index) { return patternFrame(width, height, index); };
}

bool publishUntil(const std::function<void(const platform::PixelBufferRef&)>& publish, const FrameMaker& makeFrame,
                  std::uint32_t& next, const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    // One frame each time the condition is looked at and found unmet.
    return waitUntil(
        [&] {
            if (condition()) return true;
            publish(makeFrame(next++));
            return false;
        },
        bound, kPublishPace);
}

bool publishUntilLinkable(const std::function<void(const platform::PixelBufferRef&)>& publish,
                        const FrameMaker& makeFrame, std::uint32_t& next, const std::string& name,
                        std::chrono::milliseconds bound) {
    return publishUntil(publish, makeFrame, next, [&] { return linkable(name); }, bound);
}

std::vector<std::map<std::string, std::string>> listNodes() {
    auto connection = PipeWireConnection::open(std::chrono::seconds(1));
    const auto globals = connection ? connection->listGlobals(std::chrono::seconds(2)) : std::nullopt;
    std::vector<std::map<std::string, std::string>> nodes;
    for (const auto& global : globals.value_or(std::vector<PipeWireConnection::Global>{})) {
        if (global.type == PW_TYPE_INTERFACE_Node) nodes.push_back(global.properties);
    }
    return nodes;
}

std::optional<std::uint32_t> nodeIdNamed(const std::string& name) {
    auto connection = PipeWireConnection::open(std::chrono::seconds(1));
    const auto globals = connection ? connection->listGlobals(std::chrono::seconds(2)) : std::nullopt;
    for (const auto& global : globals.value_or(std::vector<PipeWireConnection::Global>{})) {
        const auto found = global.properties.find("node.name");
        if (global.type == PW_TYPE_INTERFACE_Node && found != global.properties.end() && found->second == name) {
            return global.id;
        }
    }
    return std::nullopt;
}

std::optional<std::map<std::string, std::string>> nodeNamed(const std::string& name) {
    for (auto& node : listNodes()) {
        if (node["node.name"] == name) return node;
    }
    return std::nullopt;
}

bool nodeGone(const std::string& name) {
    return waitUntil([&] { return !nodeNamed(name).has_value(); }, std::chrono::seconds(10));
}

bool linkable(const std::string& name) {
    FrameLog log;
    auto probe = receive::FrameReceiver::connect(name, log.handler(), std::chrono::seconds(1));
    if (!probe) return false;
    // The node sends its last frame to every consumer that starts streaming.
    waitUntil([&] { return probe->failed() || !log.frames().empty(); }, std::chrono::seconds(2));
    return !log.frames().empty();
}

ScopedEnvironment::ScopedEnvironment(const std::map<std::string, std::string>& values) {
    for (const auto& [key, value] : values) {
        const char* old = std::getenv(key.c_str());
        saved_[key] = old ? std::optional<std::string>(old) : std::nullopt;
        if (value.empty()) {
            unsetenv(key.c_str());
        } else {
            setenv(key.c_str(), value.c_str(), 1);
        }
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    for (const auto& [key, value] : saved_) {
        if (value) {
            setenv(key.c_str(), value->c_str(), 1);
        } else {
            unsetenv(key.c_str());
        }
    }
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = "/tmp/kestrova-pw-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
        chmod(pattern.c_str(), 0700);
        path_ = pattern;
    }
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::map<std::string, std::string> PrivatePipeWire::clientEnvironment() const {
    return {{"XDG_RUNTIME_DIR", runtime_.path()},
            {"PIPEWIRE_RUNTIME_DIR", runtime_.path()},
            {"PIPEWIRE_REMOTE", ""},
            {"DBUS_SESSION_BUS_ADDRESS", sessionBus_}};
}

ChildProcess::Options PrivatePipeWire::clientOptions() const {
    ChildProcess::Options options;
    options.environment = clientEnvironment();
    options.environment.erase("PIPEWIRE_REMOTE");
    options.unsetEnvironment = {"PIPEWIRE_REMOTE"};
    return options;
}

bool PrivatePipeWire::answers(const std::vector<std::string>& probe, std::chrono::milliseconds bound) const {
    const auto options = clientOptions();
    return waitUntil(
        [&] {
            const auto result = runProgram(probe, std::chrono::seconds(5), options);
            return result.status == 0 && !result.out.empty();
        },
        bound, std::chrono::milliseconds(20));
}

PrivatePipeWire::PrivatePipeWire(Kind kind, std::string sessionBus) : kind_(kind), sessionBus_(std::move(sessionBus)) {
    if (runtime_.path().empty()) return;
    if (sessionBus_.empty()) {
        // WirePlumber leaves at once without a session bus.
        sessionBus_ = "unix:path=" + runtime_.path() + "/bus";
        bus_ = std::make_unique<ChildProcess>(std::vector<std::string>{"dbus-daemon", "--session", "--nofork",
                                                                       "--nopidfile", "--address=" + sessionBus_,
                                                                       "--print-address=1"},
                                              clientOptions());
        if (!bus_->waitForOutput("unix:", std::chrono::seconds(10))) return;
    }
    start();
}

void PrivatePipeWire::start() {
    std::vector<std::string> daemon{"pipewire"};
    if (kind_ == Kind::RefusingNodes) {
        const std::string config = runtime_.path() + "/refusing.conf";
        writeWithoutClientNodes(stockConfiguration(), config);
        daemon.insert(daemon.end(), {"-c", config});
    }
    daemon_ = std::make_unique<ChildProcess>(daemon, clientOptions());
    ready_ = answers({"pw-cli", "info", "0"}, std::chrono::seconds(10));
    if (!ready_ || kind_ == Kind::RefusingNodes) return;
    sessionManager_ = std::make_unique<ChildProcess>(std::vector<std::string>{"wireplumber"}, clientOptions());
    // The default metadata is published once the session manager has taken over.
    ready_ = answers({"pw-metadata", "-n", "default"}, std::chrono::seconds(10));
}

PrivatePipeWire::~PrivatePipeWire() {
    if (daemon_) daemon_->signal(SIGCONT);
    sessionManager_.reset();
    daemon_.reset();
    bus_.reset();
}

bool PrivatePipeWire::killDaemon() {
    if (!daemon_) return false;
    daemon_->signal(SIGKILL);
    return daemon_->wait(std::chrono::seconds(10)).has_value();
}

bool PrivatePipeWire::restart() {
    if (!daemon_ || !sessionManager_) return false;
    sessionManager_->signal(SIGKILL);
    const bool gone = killDaemon() && sessionManager_->wait(std::chrono::seconds(10)).has_value();
    sessionManager_.reset();
    daemon_.reset();
    if (!gone) return false;
    start();
    return ready_;
}

void PrivatePipeWire::pauseDaemon(bool paused) {
    if (daemon_) daemon_->signal(paused ? SIGSTOP : SIGCONT);
}

}  // namespace kestrova::testing
