#include "BenchConsumers.hpp"

#include "pipewire/PipeWireConnection.hpp"
#include "ProcessCpu.hpp"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <pipewire/pipewire.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

Child::Child(const std::vector<std::string>& argv, int output) {
    pid_ = fork();
    if (pid_ != 0) return;
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(output >= 0 ? output : null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

void Child::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGINT);
    (void)wait(std::chrono::seconds(5));
}

double Child::wait(std::chrono::milliseconds bound) {
    if (pid_ <= 0) return -1;
    // The descriptor turns readable when the child ends, so the wait ends then and not at the next poll.
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    pollfd watch{ended, POLLIN, 0};
    const bool inTime = ended >= 0 && poll(&watch, 1, static_cast<int>(bound.count())) == 1;
    if (ended >= 0) close(ended);
    if (!inTime) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }
    int status = 0;
    rusage usage{};
    const bool reaped = wait4(pid_, &status, 0, &usage) == pid_;
    pid_ = -1;
    if (!reaped || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
}

bool nodeOffersFormat(const std::string& name, std::chrono::milliseconds bound) {
    using platform::pipewire::PipeWireConnection;
    auto connection = PipeWireConnection::open(std::chrono::seconds(1));
    if (!connection) return false;
    struct Watch {
        pw_thread_loop* loop;
        const std::string& name;
        pw_registry* registry = nullptr;
        pw_node* node = nullptr;
        spa_hook nodeHook{};
        bool offers = false;
    } watch{connection->loop(), name};
    static const pw_node_events nodeEvents = [] {
        pw_node_events e{};
        e.version = PW_VERSION_NODE_EVENTS;
        // Asked again each time the node says its formats changed: at first it may have none to give.
        e.info = [](void* data, const pw_node_info* info) {
            auto* self = static_cast<Watch*>(data);
            if ((info->change_mask & PW_NODE_CHANGE_MASK_PARAMS) == 0) return;
            for (std::uint32_t i = 0; i < info->n_params; ++i) {
                if (info->params[i].id == SPA_PARAM_EnumFormat && (info->params[i].flags & SPA_PARAM_INFO_READ)) {
                    pw_node_enum_params(self->node, 0, SPA_PARAM_EnumFormat, 0, 1, nullptr);
                }
            }
        };
        e.param = [](void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t, const spa_pod*) {
            auto* self = static_cast<Watch*>(data);
            if (id != SPA_PARAM_EnumFormat) return;
            self->offers = true;
            pw_thread_loop_signal(self->loop, false);
        };
        return e;
    }();
    static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = [](void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                      const spa_dict* props) {
            auto* self = static_cast<Watch*>(data);
            const char* node = props ? spa_dict_lookup(props, PW_KEY_NODE_NAME) : nullptr;
            if (self->node || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || node == nullptr || self->name != node) {
                return;
            }
            self->node = static_cast<pw_node*>(pw_registry_bind(self->registry, id, type, PW_VERSION_NODE, 0));
            if (self->node) pw_node_add_listener(self->node, &self->nodeHook, &nodeEvents, self);
        };
        return e;
    }();

    PipeWireConnection::Lock lock(*connection);
    spa_hook registryHook{};
    watch.registry = pw_core_get_registry(connection->core(), PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(watch.registry, &registryHook, &registryEvents, &watch);
    timespec deadline{};
    pw_thread_loop_get_time(connection->loop(), &deadline, std::chrono::nanoseconds(bound).count());
    while (!watch.offers && pw_thread_loop_timed_wait_full(connection->loop(), &deadline) == 0) {
    }
    if (watch.node) {
        spa_hook_remove(&watch.nodeHook);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(watch.node));
    }
    spa_hook_remove(&registryHook);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(watch.registry));
    return watch.offers;
}

GstConsumer::GstConsumer(const std::string& node) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    // -v prints the sink's message for every frame it takes: one line each.
    child_ = std::make_unique<Child>(
        std::vector<std::string>{"gst-launch-1.0", "-v", "pipewiresrc", "target-object=" + node,
                                 // The session manager links nothing to a stream without a media type.
                                 "stream-properties=props,media.type=Video,media.category=Capture,media.role=Camera",
                                 "!", "fakesink", "silent=false"},
        ends[1]);
    close(ends[1]);
    reader_ = std::thread([this, output = ends[0], pid = child_->pid()] { read(output, pid); });
}

std::size_t GstConsumer::stop() {
    if (child_) child_->stop();
    if (reader_.joinable()) reader_.join();
    return count_;
}

bool GstConsumer::waitForFirstFrame(std::chrono::milliseconds bound) const {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (count_ == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return count_ > 0;
}

double GstConsumer::cpuSinceFirstFrameMs() const {
    const double first = cpuAtFirstFrame_;
    return first < 0 || !child_ || child_->pid() <= 0 ? -1 : processCpuMs(child_->pid()) - first;
}

void GstConsumer::read(int output, pid_t pid) {
    FILE* in = fdopen(output, "r");
    if (in == nullptr) {
        close(output);
        return;
    }
    char* line = nullptr;
    std::size_t size = 0;
    while (getline(&line, &size, in) > 0) {
        if (std::strstr(line, "last-message = chain") == nullptr) continue;
        if (count_++ == 0) cpuAtFirstFrame_ = processCpuMs(pid);
    }
    std::free(line);
    std::fclose(in);
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
