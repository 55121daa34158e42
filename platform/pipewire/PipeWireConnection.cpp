#include "PipeWireConnection.hpp"

#include <algorithm>
#include <mutex>

#include <pipewire/pipewire.h>

namespace kestrova::platform::pipewire {

// Follows the round trip made at connection time: its answer, or the core's error, ends the wait.
struct PipeWireConnection::CoreListener {
    pw_thread_loop* loop = nullptr;
    spa_hook hook{};
    int pendingSeq = -1;
    bool answered = false;
    bool failed = false;

    static void onDone(void* data, std::uint32_t id, int seq) {
        auto* self = static_cast<CoreListener*>(data);
        if (id != PW_ID_CORE || seq != self->pendingSeq) return;
        self->answered = true;
        pw_thread_loop_signal(self->loop, false);
    }

    static void onError(void* data, std::uint32_t id, int, int, const char*) {
        auto* self = static_cast<CoreListener*>(data);
        if (id != PW_ID_CORE) return;
        self->failed = true;
        pw_thread_loop_signal(self->loop, false);
    }

    static const pw_core_events& events() {
        static const pw_core_events table = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.done = &onDone;
            e.error = &onError;
            return e;
        }();
        return table;
    }
};

namespace {

// Collects the registry's globals until the round trip asked for after them is answered.
struct GlobalListing {
    pw_thread_loop* loop = nullptr;
    std::vector<PipeWireConnection::Global> globals;
    int pendingSeq = -1;
    bool listed = false;

    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                         const spa_dict* props) {
        PipeWireConnection::Global global{id, type, {}};
        if (props != nullptr) {
            const spa_dict_item* item;
            spa_dict_for_each(item, props) global.properties[item->key] = item->value ? item->value : "";
        }
        static_cast<GlobalListing*>(data)->globals.push_back(std::move(global));
    }

    static void onDone(void* data, std::uint32_t id, int seq) {
        auto* self = static_cast<GlobalListing*>(data);
        if (id != PW_ID_CORE || seq != self->pendingSeq) return;
        self->listed = true;
        pw_thread_loop_signal(self->loop, false);
    }
};

}  // namespace

PipeWireConnection::PipeWireConnection() : listener_(std::make_unique<CoreListener>()) {}

PipeWireConnection::Lock::Lock(const PipeWireConnection& connection) : loop_(connection.loop_) {
    pw_thread_loop_lock(loop_);
}

PipeWireConnection::Lock::~Lock() { pw_thread_loop_unlock(loop_); }

std::shared_ptr<PipeWireConnection> PipeWireConnection::open(std::chrono::milliseconds bound) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    // Making a context and connecting it look up the user's name with getpwuid, whose answer lives in one static
    // buffer of the C library: connections opened on two threads at once (a reconnection while another part of the
    // program lists nodes) would overwrite it under each other. Only the setup is serialised, not the round trip.
    static std::mutex setup;
    std::unique_lock serialised(setup);

    std::shared_ptr<PipeWireConnection> connection(new PipeWireConnection());
    connection->loop_ = pw_thread_loop_new("kestrova-pipewire", nullptr);
    if (connection->loop_ == nullptr) return nullptr;
    connection->listener_->loop = connection->loop_;
    connection->context_ = pw_context_new(pw_thread_loop_get_loop(connection->loop_), nullptr, 0);
    if (connection->context_ == nullptr || pw_thread_loop_start(connection->loop_) != 0) return nullptr;

    Lock lock(*connection);
    // Without a daemon this fails at once; a daemon that hangs is caught by the round trip below.
    connection->core_ = pw_context_connect(connection->context_, nullptr, 0);
    serialised.unlock();
    if (connection->core_ == nullptr) return nullptr;
    auto& listener = *connection->listener_;
    pw_core_add_listener(connection->core_, &listener.hook, &CoreListener::events(), &listener);
    listener.pendingSeq = pw_core_sync(connection->core_, PW_ID_CORE, 0);

    if (!connection->waitOnLoop([&] { return listener.answered; }, bound) || listener.failed) return nullptr;
    return connection;
}

std::optional<std::vector<PipeWireConnection::Global>> PipeWireConnection::listGlobals(
    std::chrono::milliseconds bound) {
    static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = &GlobalListing::onGlobal;
        return e;
    }();
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = &GlobalListing::onDone;
        return e;
    }();
    Lock lock(*this);
    GlobalListing listing;
    listing.loop = loop_;
    pw_registry* registry = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry == nullptr) return std::nullopt;
    spa_hook registryHook{};
    spa_hook coreHook{};
    pw_registry_add_listener(registry, &registryHook, &registryEvents, &listing);
    pw_core_add_listener(core_, &coreHook, &coreEvents, &listing);
    listing.pendingSeq = pw_core_sync(core_, PW_ID_CORE, 0);
    const bool listed = waitOnLoop([&] { return listing.listed; }, bound);
    spa_hook_remove(&coreHook);
    spa_hook_remove(&registryHook);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    if (!listed) return std::nullopt;
    return std::move(listing.globals);
}

bool PipeWireConnection::makesClientNodes(std::chrono::milliseconds bound) {
    const auto globals = listGlobals(bound);
    return globals && std::any_of(globals->begin(), globals->end(), [](const Global& global) {
               const auto factory = global.properties.find(PW_KEY_FACTORY_NAME);
               return global.type == PW_TYPE_INTERFACE_Factory && factory != global.properties.end() &&
                      factory->second == "client-node";
           });
}

bool PipeWireConnection::waitOnLoop(const std::function<bool()>& done, std::chrono::milliseconds bound) const {
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, std::chrono::duration_cast<std::chrono::nanoseconds>(bound).count());
    while (!done() && !listener_->failed) {
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0) break;
    }
    return done();
}

PipeWireConnection::~PipeWireConnection() {
    if (loop_ != nullptr) pw_thread_loop_stop(loop_);
    if (core_ != nullptr) {
        spa_hook_remove(&listener_->hook);
        pw_core_disconnect(core_);
    }
    if (context_ != nullptr) pw_context_destroy(context_);
    if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
}

}  // namespace kestrova::platform::pipewire
