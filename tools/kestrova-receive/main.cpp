// kestrova-receive: connects to the published video source, receives a number of frames and says what came.

#include "DemoPattern.hpp"
#include "FrameReceiver.hpp"
#include "PngFile.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using kestrova::receive::BgraImage;
using kestrova::receive::FrameView;

constexpr const char* kUsage =
    "uso: kestrova-receive [--frames N] [--timeout SEGUNDOS] [--png ARCHIVO] [--check-counter] [--target NOMBRE]\n";
// A daemon that does not answer within this is taken to be absent.
constexpr std::chrono::milliseconds kDaemonAnswerBound{1000};
// How often a failed stream is looked at and replaced.
constexpr std::chrono::milliseconds kRetryPause{100};

struct Options {
    long frames = 60;
    long timeoutSeconds = 10;
    std::string png;
    std::string target = "Kestrova Bridge";
    bool checkCounter = false;
};

std::optional<long> positive(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value <= 0) return std::nullopt;
    return value;
}

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--check-counter") {
            options.checkCounter = true;
            continue;
        }
        if (i + 1 >= argc) return std::nullopt;
        const char* value = argv[++i];
        if (flag == "--frames" || flag == "--timeout") {
            const auto number = positive(value);
            if (!number) return std::nullopt;
            (flag == "--frames" ? options.frames : options.timeoutSeconds) = *number;
        } else if (flag == "--png") {
            options.png = value;
        } else if (flag == "--target") {
            options.target = value;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

// What the receiver's thread has seen, read by the main thread once enough has come or time is up.
struct Tally {
    std::mutex mutex;
    std::condition_variable arrived;
    long count = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    Clock::time_point first;
    Clock::time_point last;
    BgraImage kept;
    // The demo window's frame counter: the first and latest value read, and the first frame that broke the rule.
    std::optional<std::uint32_t> firstCounter;
    std::optional<std::uint32_t> lastCounter;
    std::string counterFault;
};

// Every frame must show the counter, and the counter never goes back (a frame captured twice shows it twice).
void checkCounter(Tally& tally, const FrameView& frame) {
    const auto counter = kestrova::demo::decode(frame.pixels, frame.bytesPerRow, frame.width, frame.height);
    char fault[128] = "";
    if (!counter) {
        std::snprintf(fault, sizeof(fault), "el cuadro %ld no muestra el contador", tally.count);
    } else if (tally.lastCounter && *counter < *tally.lastCounter) {
        std::snprintf(fault, sizeof(fault), "el contador retrocede de %u a %u en el cuadro %ld", *tally.lastCounter,
                      *counter, tally.count);
    }
    if (fault[0] != '\0') {
        tally.counterFault = fault;
        tally.arrived.notify_all();
        return;
    }
    if (!tally.firstCounter) tally.firstCounter = counter;
    tally.lastCounter = counter;
}

BgraImage copyOf(const FrameView& frame) {
    BgraImage image;
    image.width = frame.width;
    image.height = frame.height;
    const std::size_t rowBytes = std::size_t{frame.width} * 4;
    image.pixels.resize(rowBytes * frame.height);
    for (std::uint32_t row = 0; row < frame.height; ++row) {
        std::memcpy(image.pixels.data() + row * rowBytes, frame.pixels + row * frame.bytesPerRow, rowBytes);
    }
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parse(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    Tally tally;
    auto onFrame = [&tally, &options](const FrameView& frame) {
        std::lock_guard lock(tally.mutex);
        if (tally.count >= options->frames || !tally.counterFault.empty()) return;
        const auto now = Clock::now();
        if (tally.count == 0) tally.first = now;
        tally.last = now;
        if (frame.width != tally.width || frame.height != tally.height) {
            tally.width = frame.width;
            tally.height = frame.height;
            std::printf("tamaño: %ux%u\n", frame.width, frame.height);
            std::fflush(stdout);
        }
        if (options->checkCounter) {
            checkCounter(tally, frame);
            if (!tally.counterFault.empty()) return;
        }
        // Only the last frame asked for is kept, so that a fast stream is not slowed by copies.
        if (++tally.count == options->frames) {
            if (!options->png.empty()) tally.kept = copyOf(frame);
            tally.arrived.notify_all();
        }
    };
    // The source may not be there yet: a receiver whose stream failed is replaced until the time is up.
    const auto deadline = Clock::now() + std::chrono::seconds(options->timeoutSeconds);
    std::unique_ptr<kestrova::receive::FrameReceiver> receiver;
    std::unique_lock lock(tally.mutex);
    for (;;) {
        if (!receiver || receiver->failed()) {
            lock.unlock();
            receiver.reset();
            receiver = kestrova::receive::FrameReceiver::connect(options->target, onFrame, kDaemonAnswerBound);
            lock.lock();
            if (!receiver) {
                std::fputs("kestrova-receive: no responde ningún servidor PipeWire\n", stderr);
                return 1;
            }
        }
        const auto until = std::min(deadline, Clock::now() + kRetryPause);
        if (tally.arrived.wait_until(lock, until,
                                     [&] { return tally.count >= options->frames || !tally.counterFault.empty(); })) {
            break;
        }
        if (Clock::now() >= deadline) break;
    }
    const long count = tally.count;
    const std::string counterFault = tally.counterFault;
    const double seconds = std::chrono::duration<double>(tally.last - tally.first).count();
    BgraImage kept = std::move(tally.kept);
    lock.unlock();
    receiver.reset();

    if (!counterFault.empty()) {
        std::fprintf(stderr, "kestrova-receive: %s\n", counterFault.c_str());
        return 1;
    }
    if (count < options->frames) {
        std::fprintf(stderr, "kestrova-receive: llegaron %ld de %ld cuadros en %ld s\n", count, options->frames,
                     options->timeoutSeconds);
        return 1;
    }
    const double rate = count > 1 && seconds > 0 ? double(count - 1) / seconds : 0.0;
    std::printf("cuadros: %ld de %ux%u, %.1f por segundo\n", count, tally.width, tally.height, rate);
    if (options->checkCounter) {
        // Frames that all show one value mean the picture stopped moving somewhere on the way.
        if (count > 1 && *tally.lastCounter == *tally.firstCounter) {
            std::fprintf(stderr, "kestrova-receive: el contador no avanzó en %ld cuadros\n", count);
            return 1;
        }
        std::printf("contador: de %u a %u\n", *tally.firstCounter, *tally.lastCounter);
    }
    if (!options->png.empty() && !kestrova::receive::writePng(options->png, kept)) {
        std::fprintf(stderr, "kestrova-receive: no se pudo escribir %s\n", options->png.c_str());
        return 1;
    }
    return 0;
}
