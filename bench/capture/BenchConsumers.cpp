#include "BenchConsumers.hpp"

#include "ProcessCpu.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <thread>

namespace kestrova::bench {

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

std::unique_ptr<ArrivalLog> ArrivalLog::connect(const std::string& node) {
    auto log = std::make_unique<ArrivalLog>();
    log->arrivals_.reserve(1 << 16);
    log->receiver_ = receive::FrameReceiver::connect(
        node,
        [raw = log.get()](const receive::FrameView& view) {
            const std::int64_t now = monotonicNs();
            std::lock_guard lock(raw->mutex_);
            raw->arrivals_.emplace_back(view.sentAt, now);
        },
        std::chrono::seconds(1));
    return log->receiver_ ? std::move(log) : nullptr;
}

std::size_t ArrivalLog::count() {
    std::lock_guard lock(mutex_);
    return arrivals_.size();
}

std::vector<double> ArrivalLog::latencyPercentiles(const std::vector<std::int64_t>& delivered,
                                                   std::vector<double> ranks) {
    std::vector<double> latencies;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [sent, arrived] : arrivals_) {
            const auto it = std::upper_bound(delivered.begin(), delivered.end(), sent);
            if (it != delivered.begin()) latencies.push_back(double(arrived - *std::prev(it)) / 1e6);
        }
    }
    std::sort(latencies.begin(), latencies.end());
    for (double& rank : ranks) {
        rank = latencies.empty() ? NAN
                                 : latencies[std::min(latencies.size() - 1, std::size_t(rank * latencies.size()))];
    }
    return ranks;
}

Child::Child(const std::vector<std::string>& argv) {
    pid_ = fork();
    if (pid_ != 0) return;
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

Child::~Child() {
    if (pid_ <= 0) return;
    kill(pid_, SIGINT);
    waitpid(pid_, nullptr, 0);
}

double Child::wait() {
    int status = 0;
    rusage usage{};
    if (pid_ <= 0 || wait4(pid_, &status, 0, &usage) != pid_) return -1;
    pid_ = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
}

std::uint32_t openStaticWindow(std::uint32_t width, std::uint32_t height) {
    // The connection stays open for the rest of the run: closing it would destroy the window.
    static xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) return 0;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_window_t window = xcb_generate_id(connection);
    const std::uint32_t background = 0x336699;
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL, &background);
    const std::string title = "Kestrova Output | Quieta";
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        static_cast<std::uint32_t>(title.size()), title.data());
    xcb_map_window(connection, window);
    xcb_flush(connection);
    return window;
}

}  // namespace kestrova::bench
