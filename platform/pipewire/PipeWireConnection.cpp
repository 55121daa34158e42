#include "PipeWireConnection.hpp"

#include <cstring>
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

// Reads the registry's globals until a round trip after asking for them, looking for one factory.
struct FactoryLookup {
    pw_thread_loop* loop = nullptr;
    const char* name = nullptr;
    spa_hook registryHook{};
    spa_hook coreHook{};
    int pendingSeq = -1;
    bool found = false;
    bool listed = false;

    static void onGlobal(void* data, std::uint32_t, std::uint32_t, const char* type, std::uint32_t,
                         const spa_dict* props) {
        auto* self = static_cast<FactoryLookup*>(data);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Factory) != 0 || props == nullptr) return;
        const char* factory = spa_dict_lookup(props, PW_KEY_FACTORY_NAME);
        if (factory != nullptr && std::strcmp(factory, self->name) == 0) self->found = true;
    }

    static void onDone(void* data, std::uint32_t id, int seq) {
        auto* self = static_cast<FactoryLookup*>(data);
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

    timespec deadline{};
    pw_thread_loop_get_time(connection->loop_, &deadline,
                            std::chrono::duration_cast<std::chrono::nanoseconds>(bound).count());
    while (!listener.answered && !listener.failed) {
        if (pw_thread_loop_timed_wait_full(connection->loop_, &deadline) != 0) break;
    }
    if (!listener.answered || listener.failed) return nullptr;
    return connection;
}

bool PipeWireConnection::makesClientNodes(std::chrono::milliseconds bound) {
    static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = &FactoryLookup::onGlobal;
        return e;
    }();
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = &FactoryLookup::onDone;
        return e;
    }();
    Lock lock(*this);
    FactoryLookup lookup;
    lookup.loop = loop_;
    lookup.name = "client-node";
    pw_registry* registry = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry == nullptr) return false;
    pw_registry_add_listener(registry, &lookup.registryHook, &registryEvents, &lookup);
    pw_core_add_listener(core_, &lookup.coreHook, &coreEvents, &lookup);
    lookup.pendingSeq = pw_core_sync(core_, PW_ID_CORE, 0);
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, std::chrono::duration_cast<std::chrono::nanoseconds>(bound).count());
    while (!lookup.listed && !listener_->failed) {
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0) break;
    }
    spa_hook_remove(&lookup.coreHook);
    spa_hook_remove(&lookup.registryHook);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    return lookup.listed && lookup.found;
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
