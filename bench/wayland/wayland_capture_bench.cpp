// kestrova_wayland_capture_bench --desktop kwin|gnome [--frames N] [--size WxH] [--compositor-pid PID]
// Captures a native Wayland demo window at twice its size for N frames through the KWin or the GNOME provider (the
// compositor's cast, PipeWire's shared memory, the scaler; on GNOME the shadow cut away) and prints what it cost per
// frame: this process's CPU, and the compositor's when its PID is given, since the compositor renders and copies
// every frame it casts.

#include "gnome/GnomeScreenCapture.hpp"
#include "kwin/KWinScreenCapture.hpp"
#include "ProcessCpu.hpp"
#include "ProgramPaths.hpp"

#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

using namespace kestrova;
using bench::processCpuMs;
using bench::selfCpuMs;
using Clock = std::chrono::steady_clock;

// Counts frames and wakes the waiter at the target.
class Counter final : public platform::StreamOutput {
public:
    void streamDidOutputSampleBuffer(platform::Stream&, const platform::SampleBuffer&, int) override {
        std::lock_guard lock(mutex_);
        ++frames_;
        changed_.notify_all();
    }
    bool waitFor(int frames, std::chrono::seconds bound) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return frames_ >= frames; });
    }
    int frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int frames_ = 0;
};

platform::ShareableContentAnswer listNow(platform::ScreenCaptureService& service) {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<platform::ShareableContentAnswer> answer;
    service.getShareableContent(true, false, [&](platform::ShareableContentAnswer a) {
        std::lock_guard lock(mutex);
        answer = std::move(a);
        done.notify_all();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return answer.has_value(); });
    return *answer;
}

// The chosen desktop's provider, when this session offers it.
std::shared_ptr<platform::ScreenCaptureService> providerFor(const std::string& desktop) {
    if (desktop == "kwin" && platform::kwin::sessionOffersWindowCapture()) {
        return platform::kwin::makeKWinScreenCapture();
    }
    if (desktop == "gnome" && platform::gnome::sessionOffersWindowCapture()) {
        return platform::gnome::makeGnomeScreenCapture();
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 300;
    std::uint32_t width = 800, height = 600;
    pid_t compositor = 0;
    std::string desktop = "kwin";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--desktop") desktop = argv[i + 1];
        if (flag == "--frames") frames = std::atoi(argv[i + 1]);
        if (flag == "--size") std::sscanf(argv[i + 1], "%ux%u", &width, &height);
        if (flag == "--compositor-pid") compositor = static_cast<pid_t>(std::atoi(argv[i + 1]));
    }
    auto service = providerFor(desktop);
    if (!service) {
        std::fprintf(stderr, "bench: this session offers no %s window casts (WAYLAND_DISPLAY, the bus)\n",
                     desktop.c_str());
        return 1;
    }
    int commands[2];
    if (pipe(commands) != 0) return 1;
    const pid_t demo = fork();
    if (demo == 0) {
        dup2(commands[0], STDIN_FILENO);
        const char* demoPath = kestrova::testing::paths::outputDemo;
        execl(demoPath, demoPath, "--wayland", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(commands[0]);
    const std::string open = "open Banco " + std::to_string(width) + " " + std::to_string(height) + "\n";
    (void)!write(commands[1], open.data(), open.size());
    close(commands[1]);  // the demo keeps its windows until it is killed
    platform::Window window;
    for (int attempt = 0; attempt < 200 && !window; ++attempt) {
        const auto answer = listNow(*service);
        if (answer.content) {
            for (const auto& w : answer.content->windows) {
                if (w->owningApplication && w->owningApplication->processID == demo) window = w;
            }
        }
        if (!window) usleep(50'000);
    }
    int status = 0;
    if (!window) {
        std::fputs("bench: the demo's window never appeared\n", stderr);
        kill(demo, SIGTERM);
        waitpid(demo, &status, 0);
        return 1;
    }
    platform::StreamConfiguration configuration;
    configuration.setPixelFormat(platform::kPixelFormatBGRA);
    configuration.setWidth(static_cast<std::int64_t>(window->frame.width * 2));
    configuration.setHeight(static_cast<std::int64_t>(window->frame.height * 2));
    configuration.setMinimumFrameInterval(platform::Time{1, 60});
    configuration.setShowsCursor(false);
    auto counter = std::make_shared<Counter>();
    auto queue = std::make_shared<platform::SerialQueue>("bench.frames", platform::QueuePriority::normal);
    auto stream = service->makeStream(platform::ContentFilter(window), configuration, {});
    stream->addStreamOutput(counter, 0, queue);
    std::atomic<bool> started = false;
    stream->startCapture([&](std::optional<platform::Error> error) {
        if (error) std::fprintf(stderr, "bench: %s\n", error->description.c_str());
        started = !error;
    });
    // A few frames first, so that negotiation and the first buffers are not counted.
    const bool warm = counter->waitFor(10, std::chrono::seconds(30));
    const int first = counter->frames();
    const double selfBefore = selfCpuMs();
    const double compositorBefore = compositor > 0 ? processCpuMs(compositor) : -1;
    const auto t0 = Clock::now();
    const bool done = warm && counter->waitFor(first + frames, std::chrono::seconds(120));
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const int counted = counter->frames() - first;
    const double selfMs = selfCpuMs() - selfBefore;
    const double compositorMs = compositor > 0 ? processCpuMs(compositor) - compositorBefore : -1;
    std::atomic<bool> stopped = false;
    stream->stopCapture([&](std::optional<platform::Error>) { stopped = true; });
    while (!stopped) usleep(10'000);
    kill(demo, SIGTERM);
    waitpid(demo, &status, 0);
    if (!started || !done) {
        std::fputs("bench: the stream did not deliver the frames\n", stderr);
        return 1;
    }
    std::printf("%-28s %8s %8s %8s %16s %16s\n", "path", "frames", "seconds", "fps", "bridge ms/frame",
                "compositor ms/frame");
    std::printf("%-28s %8d %8.2f %8.1f %16.3f %16s\n",
                (desktop + " " + std::to_string(configuration.width()) + "x" + std::to_string(configuration.height()))
                    .c_str(),
                counted, seconds, counted / seconds, selfMs / counted,
                compositor > 0 ? std::to_string(compositorMs / counted).c_str() : "n/a");
    return 0;
}
