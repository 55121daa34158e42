// kestrova_capture_bench [--frames N] [--size WxH] [--xserver-pid PID] [--publish]
// Captures a demo window at twice its size for N frames through the X11 provider, then has GStreamer's ximagesrc
// and ffmpeg's x11grab do the same job on the same window, and prints what each cost: this process's (or the
// child's) CPU and the X server's, per frame. The X server's share matters: it is single-threaded and serves
// every client of the desktop. With --publish, the whole paths are compared with a consumer connected: the bridge's
// capture and publication with a consumer in this process, and GStreamer's capture and publication through
// pipewiresink with GStreamer's pipewiresrc receiving it, each consumer's cost counted in; it also gives the bridge's
// latency from a frame's delivery by the capture to its arrival, and what the bridge and the X server spend per
// second on a window that does not change.

#include "BenchConsumers.hpp"
#include "XServerProcess.hpp"
#include "ProcessCpu.hpp"
#include "BridgeConstants.hpp"
#include "CaptureBridge.hpp"
#include "pipewire/PipeWireFrameServer.hpp"
#include "SyphonFrameSink.hpp"
#include "x11/X11ScreenCapture.hpp"
#include "ProgramPaths.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kestrova;
using Clock = std::chrono::steady_clock;

struct Options {
    int frames = 300;
    std::uint32_t width = 800;
    std::uint32_t height = 600;
    pid_t xserver = 0;
    bool publish = false;
};

struct Row {
    std::string name;
    int frames = 0;
    double seconds = 0;
    double clientMs = 0;
    double serverMs = 0;
};

using kestrova::bench::milliseconds;
using kestrova::bench::processCpuMs;

// The demo companion with one window, driven over a pipe.
class Demo {
public:
    Demo(std::uint32_t width, std::uint32_t height) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            execl(kestrova::testing::paths::outputDemo, kestrova::testing::paths::outputDemo, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toDemo_ = fdopen(in[1], "w");
        fromDemo_ = fdopen(out[0], "r");
        const std::string line = "open Banco " + std::to_string(width) + " " + std::to_string(height);
        std::fprintf(toDemo_, "%s\n", line.c_str());
        std::fflush(toDemo_);
        char answer[256] = {};
        ready_ = std::fgets(answer, sizeof answer, fromDemo_) && std::string(answer) == "ok " + line + "\n";
    }
    ~Demo() {
        if (toDemo_) {
            std::fputs("quit\n", toDemo_);
            std::fclose(toDemo_);
        }
        if (fromDemo_) std::fclose(fromDemo_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    FILE* toDemo_ = nullptr;
    FILE* fromDemo_ = nullptr;
    bool ready_ = false;
};

// Counts complete frames and hands each to the sink, when there is one; says when the last one came.
class CountingOutput final : public platform::StreamOutput {
public:
    CountingOutput(int frames, std::shared_ptr<FrameSink> sink) : wanted_(frames), sink_(std::move(sink)) {
        delivered_.reserve(static_cast<std::size_t>(frames));
    }
    void streamDidOutputSampleBuffer(platform::Stream&, const platform::SampleBuffer& sample, int) override {
        if (!CaptureBridge::isComplete(sample) || !sample.imageBuffer || count_ >= wanted_) return;
        delivered_.push_back(bench::monotonicNs());
        if (sink_) sink_->publish(sample.imageBuffer);
        if (++count_ == wanted_) done_.set_value();
    }
    std::future<void> done() { return done_.get_future(); }
    // When each frame reached the frame queue, in order; read once the last one came.
    std::vector<std::int64_t> delivered_;

private:
    const int wanted_;
    int count_ = 0;
    std::shared_ptr<FrameSink> sink_;
    std::promise<void> done_;
};

std::optional<platform::Error> request(platform::Stream& stream,
                                      void (platform::Stream::*call)(platform::StreamCompletion)) {
    std::promise<std::optional<platform::Error>> answer;
    auto future = answer.get_future();
    (stream.*call)([&answer](std::optional<platform::Error> e) { answer.set_value(std::move(e)); });
    return future.get();
}

std::optional<Row> captureRow(const std::string& name, platform::ScreenCaptureService& service,
                              const platform::Window& window, const Options& options, pid_t xserver,
                              std::shared_ptr<FrameSink> sink, std::vector<std::int64_t>* delivered = nullptr) {
    platform::StreamConfiguration configuration;
    configuration.setPixelFormat(constants::kPixelFormatBGRA);
    configuration.setMinimumFrameInterval({constants::kFrameIntervalValue, constants::kFrameIntervalTimescale});
    configuration.setQueueDepth(constants::kQueueDepth);
    configuration.setShowsCursor(false);
    configuration.setWidth(CaptureBridge::captureDimension(window->frame.width));
    configuration.setHeight(CaptureBridge::captureDimension(window->frame.height));
    configuration.setScalesToFit(true);
    auto stream = service.makeStream(platform::ContentFilter(window), configuration, {});
    auto output = std::make_shared<CountingOutput>(options.frames, std::move(sink));
    auto done = output->done();
    auto queue = std::make_shared<platform::SerialQueue>("bench.frames", platform::QueuePriority::userInteractive);
    if (auto error = stream->addStreamOutput(output, constants::kStreamOutputTypeScreen, queue)) {
        std::cerr << error->description << "\n";
        return std::nullopt;
    }
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const double serverBefore = processCpuMs(xserver);
    const auto start = Clock::now();
    if (auto error = request(*stream, &platform::Stream::startCapture)) {
        std::cerr << error->description << "\n";
        return std::nullopt;
    }
    if (done.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
        std::cerr << name << ": no llegaron todos los cuadros\n";
        return std::nullopt;
    }
    const auto end = Clock::now();
    getrusage(RUSAGE_SELF, &after);
    const double serverAfter = processCpuMs(xserver);
    (void)request(*stream, &platform::Stream::stopCapture);
    if (delivered) *delivered = output->delivered_;
    return Row{name, options.frames, std::chrono::duration<double>(end - start).count(),
               milliseconds(after.ru_utime) + milliseconds(after.ru_stime) - milliseconds(before.ru_utime) -
                   milliseconds(before.ru_stime),
               serverAfter - serverBefore};
}

// With a node name, the child publishes its frames there and GStreamer's pipewiresrc receives them, joining once the
// node offers its format. The consumer's CPU counts from its first frame, as the bridge's consumer's counts once
// connected.
std::optional<Row> childRow(const std::string& name, const std::vector<std::string>& argv, int frames,
                            pid_t xserver, const std::string& publishedAs = {}) {
    const double serverBefore = processCpuMs(xserver);
    const auto start = Clock::now();
    bench::Child producer(argv);
    std::optional<bench::GstConsumer> consumer;
    if (!publishedAs.empty()) {
        if (!bench::nodeOffersFormat(publishedAs, std::chrono::seconds(10))) {
            std::cerr << name << ": su nodo no apareció con un formato\n";
            return std::nullopt;
        }
        consumer.emplace(publishedAs);
        if (!consumer->waitForFirstFrame(std::chrono::seconds(10))) {
            std::cerr << name << ": ningún cuadro llegó al consumidor\n";
            return std::nullopt;
        }
    }
    // Well below the slowest peer's pace: only a child that stopped making frames takes this long.
    const double cpu = producer.wait(std::chrono::seconds(60) + frames * std::chrono::milliseconds(100));
    const auto end = Clock::now();
    const double serverMs = processCpuMs(xserver) - serverBefore;
    const double consumerMs = consumer ? consumer->cpuSinceFirstFrameMs() : 0;
    if (consumer) std::printf("%s: %zu cuadros llegaron al consumidor\n", name.c_str(), consumer->stop());
    if (cpu < 0 || consumerMs < 0) {
        std::cerr << name << ": terminó con error o no terminó a tiempo\n";
        return std::nullopt;
    }
    return Row{name, frames, std::chrono::duration<double>(end - start).count(), cpu + consumerMs, serverMs};
}

void printTable(const std::vector<Row>& rows, const Options& options, double idleServerMsPerSecond) {
    std::printf("%u×%u → %u×%u, %d cuadros\n", options.width, options.height, 2 * options.width,
                2 * options.height, options.frames);
    std::printf("%-28s %8s %8s %12s %12s %12s\n", "camino", "s", "fps", "cliente ms", "X ms", "total ms");
    for (const auto& r : rows) {
        // The X server also spends time drawing the demo's window, whoever captures it: that share is left out.
        const double serverMs = r.serverMs - idleServerMsPerSecond * r.seconds;
        std::printf("%-28s %8.2f %8.1f %12.2f %12.2f %12.2f\n", r.name.c_str(), r.seconds, r.frames / r.seconds,
                    r.clientMs / r.frames, serverMs / r.frames, (r.clientMs + serverMs) / r.frames);
    }
    std::printf("(ms de CPU por cuadro; X sin el dibujo de la demo, %.1f ms por segundo medidos sin captura)\n",
                idleServerMsPerSecond);
}

// The X server's CPU per second while the demo draws and nobody captures.
double idleServerRate(pid_t xserver) {
    const auto start = Clock::now();
    const double before = processCpuMs(xserver);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double after = processCpuMs(xserver);
    return (after - before) / std::chrono::duration<double>(Clock::now() - start).count();
}

// What the bridge (capture, publication, its consumer) and the X server spend per second on a window that does not
// change, beyond the demo's own drawing, with the stream running and the consumer connected.
void idleCost(platform::ScreenCaptureService& service, const platform::Window& demo, const Options& options,
              pid_t xserver, double idleServerMsPerSecond, const std::shared_ptr<FrameSink>& sink) {
    auto record = std::make_shared<platform::WindowRecord>(*demo);
    record->windowID = bench::openStaticWindow(options.width, options.height);
    if (record->windowID == 0) return;
    platform::StreamConfiguration configuration;
    configuration.setPixelFormat(constants::kPixelFormatBGRA);
    configuration.setMinimumFrameInterval({constants::kFrameIntervalValue, constants::kFrameIntervalTimescale});
    configuration.setQueueDepth(constants::kQueueDepth);
    configuration.setWidth(CaptureBridge::captureDimension(record->frame.width));
    configuration.setHeight(CaptureBridge::captureDimension(record->frame.height));
    configuration.setScalesToFit(true);
    auto stream = service.makeStream(platform::ContentFilter(record), configuration, {});
    auto output = std::make_shared<CountingOutput>(1 << 20, sink);
    auto queue = std::make_shared<platform::SerialQueue>("bench.idle", platform::QueuePriority::userInteractive);
    if (stream->addStreamOutput(output, constants::kStreamOutputTypeScreen, queue)) return;
    if (request(*stream, &platform::Stream::startCapture)) return;
    // The first frame goes out; after it, nothing changes.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double clientBefore = bench::selfCpuMs();
    const double serverBefore = processCpuMs(xserver);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double clientMs = bench::selfCpuMs() - clientBefore;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double serverMs = processCpuMs(xserver) - serverBefore;
    (void)request(*stream, &platform::Stream::stopCapture);
    std::printf("reposo (ventana quieta, consumidor conectado): kestrova %.2f ms de CPU por segundo, X %.2f ms por "
                "segundo\n", clientMs / seconds, serverMs / seconds - idleServerMsPerSecond);
}

// The demo's window once it is on screen: under a window manager it is listed before the manager has framed and
// shown it, and the peers below read it where it is shown.
platform::Window shownDemoWindow(platform::ScreenCaptureService& service) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    do {
        std::promise<platform::ShareableContentAnswer> listed;
        auto answer = listed.get_future();
        service.getShareableContent(true, true, [&listed](platform::ShareableContentAnswer a) { listed.set_value(a); });
        const auto content = answer.get().content;
        for (const auto& w : content ? content->windows : std::vector<platform::Window>{}) {
            if (w->title == std::string(constants::kTitlePrefix) + " Banco") return w;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < deadline);
    return nullptr;
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--frames" && hasValue) {
            options.frames = std::atoi(argv[++i]);
        } else if (arg == "--size" && hasValue) {
            if (std::sscanf(argv[++i], "%ux%u", &options.width, &options.height) != 2) return false;
        } else if (arg == "--xserver-pid" && hasValue) {
            options.xserver = static_cast<pid_t>(std::atoi(argv[++i]));
        } else if (arg == "--publish") {
            options.publish = true;
        } else {
            return false;
        }
    }
    return options.frames > 0 && options.width > 0 && options.height > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::cerr << "uso: kestrova_capture_bench [--frames N] [--size WxH] [--xserver-pid PID] [--publish]\n";
        return 2;
    }
    const char* display = std::getenv("DISPLAY");
    if (!display) {
        std::cerr << "kestrova_capture_bench: DISPLAY no está definida\n";
        return 1;
    }
    const pid_t xserver = options.xserver ? options.xserver : bench::findXServer(display);
    if (xserver <= 0 || processCpuMs(xserver) < 0) {
        std::cerr << "kestrova_capture_bench: no se encontró el Xvfb de " << display << " (use --xserver-pid)\n";
        return 1;
    }
    Demo demo(options.width, options.height);
    if (!demo.ready()) {
        std::cerr << "kestrova_capture_bench: la ventana de demostración no se abrió\n";
        return 1;
    }
    // Once the sink has connected, the capture writes into the node's buffers, as the program's does.
    const auto frameServer =
        std::make_shared<platform::pipewire::PipeWireFrameServer>(std::string(constants::kServerName));
    auto service = platform::x11::makeX11ScreenCapture({}, frameServer);
    const platform::Window window = shownDemoWindow(*service);
    if (!window) {
        std::cerr << "kestrova_capture_bench: no se encontró la ventana de demostración\n";
        return 1;
    }

    const double idle = idleServerRate(xserver);
    std::vector<Row> rows;
    const auto add = [&rows](std::optional<Row> row) {
        if (row) rows.push_back(*row);
    };
    add(captureRow("kestrova (captura)", *service, window, options, xserver, nullptr));
    const std::string frames = std::to_string(options.frames);
    const std::string outW = std::to_string(2 * options.width), outH = std::to_string(2 * options.height);
    std::vector<std::string> gstreamer{"gst-launch-1.0", "-q", "ximagesrc", "xid=" + std::to_string(window->windowID),
                                       "use-damage=false", "num-buffers=" + frames, "!", "videoscale", "!",
                                       "video/x-raw,width=" + outW + ",height=" + outH, "!"};
    if (options.publish) {
        if (auto sink = SyphonFrameSink::create([&frameServer] { return frameServer->connectDevice(); })) {
            // The consumer joins first and the first frames agree the size, outside the measured run.
            auto consumer = bench::ArrivalLog::connect(std::string(constants::kServerName));
            Options warmUp = options;
            warmUp.frames = 60;
            (void)captureRow("", *service, window, warmUp, xserver, sink);
            std::vector<std::int64_t> delivered;
            const std::size_t arrivedBefore = consumer ? consumer->count() : 0;
            add(captureRow("kestrova (captura+publica)", *service, window, options, xserver, sink, &delivered));
            if (consumer) {
                const auto p = consumer->latencyPercentiles(delivered, {0.5, 0.95});
                std::printf("kestrova: %zu cuadros llegaron al consumidor; latencia de entrega a llegada p50 %.2f ms, "
                            "p95 %.2f ms\n", consumer->count() - arrivedBefore, p[0], p[1]);
                idleCost(*service, window, options, xserver, idle, sink);
            } else {
                std::cerr << "kestrova_capture_bench: el consumidor no se conectó\n";
            }
            sink->stop();
        } else {
            std::cerr << "kestrova_capture_bench: no hay servidor de cuadros para publicar\n";
        }
    }
    // Capture and scaling alone, beside the bridge's capture row: what publishing adds to each path.
    auto capturing = gstreamer;
    capturing.push_back("fakesink");
    add(childRow("gstreamer (captura)", capturing, options.frames, xserver));
    if (options.publish) {
        // Offered pipewiresink's own buffers, videoscale is handed one without memory and the pipeline crashes with
        // this system's plugin: the frames keep memory of their own and the sink copies them, GStreamer's cost here.
        const std::string node = "banco-gstreamer";
        gstreamer.insert(gstreamer.end(), {"identity", "drop-allocation=true", "!", "pipewiresink", "mode=provide",
                                           "stream-properties=props,node.name=" + node + ",media.class=Video/Source"});
        // Now and then this system's PipeWire hands the two ends buffers of no valid memory type as they link, even
        // once the node offers its format, and nothing flows: the row is run again.
        std::optional<Row> published;
        for (int attempt = 0; attempt < 3 && !published; ++attempt) {
            published = childRow("gstreamer (captura+publica)", gstreamer, options.frames, xserver, node);
        }
        add(published);
    }
    const std::string origin = std::string(display) + "+" + std::to_string(static_cast<int>(window->frame.x)) + "," +
                               std::to_string(static_cast<int>(window->frame.y));
    add(childRow("ffmpeg x11grab",
                 {"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-video_size",
                  std::to_string(options.width) + "x" + std::to_string(options.height), "-i", origin, "-frames",
                  frames, "-vf", "scale=" + outW + ":" + outH, "-f", "null", "-"},
                 options.frames, xserver));
    printTable(rows, options, idle);
    return rows.empty() ? 1 : 0;
}
