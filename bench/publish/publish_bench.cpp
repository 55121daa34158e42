// Publishes 1600×1200 BGRA frames at 60 per second through the shared-video sink over PipeWire while a receiver
// in a child process takes them, and reports the time of each publish call, the CPU spent per frame by this
// process, the receiver and the PipeWire daemon, how many frames arrived and how late.
//
//   kestrova_publish_bench [--seconds S] [--width W] [--height H] [--fps F]
//
// Needs a PipeWire daemon with a session manager (scripts/servers.sh starts both).

#include "FrameReceiver.hpp"
#include "pipewire/PipeWireFrameServer.hpp"
#include "ProcessCpu.hpp"
#include "SyphonFrameSink.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
namespace platform = kestrova::platform;

struct Options {
    long seconds = 10;
    long width = 1600;
    long height = 1200;
    long fps = 60;
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        char* end = nullptr;
        const long value = std::strtol(argv[i + 1], &end, 10);
        if (*end != '\0' || value <= 0) return std::nullopt;
        if (flag == "--seconds") {
            options.seconds = value;
        } else if (flag == "--width") {
            options.width = value;
        } else if (flag == "--height") {
            options.height = value;
        } else if (flag == "--fps") {
            options.fps = value;
        } else {
            return std::nullopt;
        }
    }
    if (argc % 2 == 0) return std::nullopt;
    return options;
}

std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

double cpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * double(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

// The receiving child: reports "index arrival" for every frame on `report` until `control` closes.
[[noreturn]] void runReceiver(int control, int report) {
    auto receiver = kestrova::receive::FrameReceiver::connect(
        "Kestrova Bridge",
        [report](const kestrova::receive::FrameView& frame) {
            std::uint32_t index = 0;
            std::memcpy(&index, frame.pixels, sizeof(index));
            char line[64];
            const int n = std::snprintf(line, sizeof(line), "%u %lld\n", index,
                                        static_cast<long long>(monotonicNanoseconds()));
            if (::write(report, line, std::size_t(n)) != n) return;
        },
        std::chrono::seconds(1));
    char byte;
    while (::read(control, &byte, 1) > 0) {
    }
    receiver.reset();
    _exit(receiver ? 0 : 1);
}

// The daemon's process: the peer of a connection to its socket, found where libpipewire looks for it.
std::optional<pid_t> daemonProcess() {
    const char* directory = std::getenv("PIPEWIRE_RUNTIME_DIR");
    if (directory == nullptr) directory = std::getenv("XDG_RUNTIME_DIR");
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    if (directory == nullptr) return std::nullopt;
    const std::string path = std::string(directory) + "/" + (remote != nullptr ? remote : "pipewire-0");
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    std::optional<pid_t> pid;
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
        pid = peer.pid;
    }
    close(fd);
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parse(argc, argv);
    if (!options) {
        std::fputs("uso: kestrova_publish_bench [--seconds S] [--width W] [--height H] [--fps F]\n", stderr);
        return 2;
    }
    const auto width = static_cast<std::uint32_t>(options->width);
    const auto height = static_cast<std::uint32_t>(options->height);

    // The receiver is forked before this process starts any thread.
    int control[2];
    int report[2];
    if (pipe2(control, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) return 1;
    const pid_t child = fork();
    if (child == 0) {
        close(control[1]);
        close(report[0]);
        runReceiver(control[0], report[1]);
    }
    close(control[0]);
    close(report[1]);

    platform::pipewire::PipeWireFrameServer frameServer("Kestrova Bridge");
    auto sink = kestrova::SyphonFrameSink::create([&frameServer] { return frameServer.connectDevice(); });
    if (!sink) {
        std::fputs("kestrova_publish_bench: no responde ningún servidor PipeWire\n", stderr);
        return 1;
    }
    const auto daemon = daemonProcess();

    // Arrivals as the child reports them, read on a thread of their own so that the pipe never fills.
    std::mutex arrivalsMutex;
    std::map<std::uint32_t, std::int64_t> arrivals;
    std::atomic<bool> anyArrived{false};
    std::thread reader([&] {
        FILE* in = fdopen(report[0], "r");
        unsigned index = 0;
        long long at = 0;
        while (in != nullptr && std::fscanf(in, "%u %lld", &index, &at) == 2) {
            std::lock_guard lock(arrivalsMutex);
            arrivals.emplace(index, at);
            anyArrived = true;
        }
        if (in != nullptr) fclose(in);
    });

    // A few frames in turn, as a capture's buffer pool hands them out; each carries its index in its first bytes.
    std::vector<platform::PixelBufferRef> pool;
    for (int i = 0; i < 4; ++i) {
        auto frame = platform::PixelBuffer::create(width, height);
        if (!frame) return 1;
        for (std::size_t b = 0; b < frame->byteCount(); ++b) frame->bytes()[b] = static_cast<std::uint8_t>(b * 7 + i);
        pool.push_back(std::move(frame));
    }

    const auto interval = std::chrono::nanoseconds(1'000'000'000 / options->fps);
    std::uint32_t index = 0;
    std::vector<std::int64_t> sentAt;
    auto next = Clock::now();
    auto publishOne = [&]() -> double {
        auto& frame = pool[index % pool.size()];
        std::memcpy(frame->bytes(), &index, sizeof(index));
        sentAt.push_back(monotonicNanoseconds());
        const auto start = Clock::now();
        sink->publish(frame);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        ++index;
        next += interval;
        std::this_thread::sleep_until(next);
        return ms;
    };

    // Until the session manager has linked the receiver, then a second more to settle.
    const auto linkDeadline = Clock::now() + std::chrono::seconds(10);
    while (!anyArrived && Clock::now() < linkDeadline) publishOne();
    if (!anyArrived) {
        std::fputs("kestrova_publish_bench: el receptor no recibió nada\n", stderr);
        close(control[1]);
        waitpid(child, nullptr, 0);
        reader.join();
        return 1;
    }
    for (long i = 0; i < options->fps; ++i) publishOne();

    const std::uint32_t firstMeasured = index;
    const long measuredFrames = options->seconds * options->fps;
    std::vector<double> publishMs;
    publishMs.reserve(std::size_t(measuredFrames));
    const double processCpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double threadCpuBefore = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const double daemonCpuMsBefore = daemon ? kestrova::bench::processCpuMs(*daemon) : 0;
    const auto measureStart = Clock::now();
    for (long i = 0; i < measuredFrames; ++i) publishMs.push_back(publishOne());
    const double elapsed = std::chrono::duration<double>(Clock::now() - measureStart).count();
    const double processCpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processCpuBefore;
    const double threadCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - threadCpuBefore;
    const double daemonCpuMs = daemon ? kestrova::bench::processCpuMs(*daemon) - daemonCpuMsBefore : 0;

    // Stragglers, then the receiver goes; its CPU, over every frame it took, comes with its exit status.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(control[1]);
    rusage receiverUsage{};
    int status = 0;
    wait4(child, &status, 0, &receiverUsage);
    reader.join();

    std::vector<double> latencyMs;
    for (const auto& [i, at] : arrivals) {
        if (i >= firstMeasured && i < sentAt.size()) latencyMs.push_back(double(at - sentAt[i]) / 1e6);
    }
    const auto received = static_cast<long>(latencyMs.size());
    const double receiverCpu = double(receiverUsage.ru_utime.tv_sec + receiverUsage.ru_stime.tv_sec) +
                               double(receiverUsage.ru_utime.tv_usec + receiverUsage.ru_stime.tv_usec) / 1e6;

    std::printf("publicación de %ux%u a %ld cuadros/s durante %ld s (%ld cuadros), un receptor en otro proceso\n",
                width, height, options->fps, options->seconds, measuredFrames);
    std::printf("  publish(): p50 %.3f ms, p95 %.3f ms, máximo %.3f ms\n", percentile(publishMs, 0.5),
                percentile(publishMs, 0.95), *std::max_element(publishMs.begin(), publishMs.end()));
    char daemonText[32] = "desconocido";
    if (daemon) std::snprintf(daemonText, sizeof(daemonText), "%.3f ms", daemonCpuMs / double(measuredFrames));
    std::printf("  CPU por cuadro: emisor %.3f ms (hilo que publica %.3f ms), servidor PipeWire %s, "
                "receptor %.3f ms\n",
                processCpu * 1e3 / double(measuredFrames), threadCpu * 1e3 / double(measuredFrames), daemonText,
                receiverCpu * 1e3 / double(std::max<std::size_t>(arrivals.size(), 1)));
    std::printf("  recibidos %ld de %ld (%.1f cuadros/s); latencia p50 %.3f ms, p95 %.3f ms\n", received,
                measuredFrames, double(received) / elapsed, percentile(latencyMs, 0.5),
                percentile(latencyMs, 0.95));
    return 0;
}
