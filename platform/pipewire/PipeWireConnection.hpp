#pragma once

// A connection to the user's PipeWire daemon with a thread loop of its own, on which every PipeWire callback of
// the connection runs. Whoever touches PipeWire objects from another thread holds the loop's lock meanwhile.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct pw_context;
struct pw_core;
struct pw_thread_loop;

namespace kestrova::platform::pipewire {

class PipeWireConnection {
public:
    // Connects and makes one round trip to the daemon; nothing when no daemon answers within the bound (a daemon
    // that accepts the connection but hangs must not hold the caller up).
    static std::shared_ptr<PipeWireConnection> open(std::chrono::milliseconds bound);
    // Stops the loop first, so no callback runs while the connection goes away. Streams go before it.
    ~PipeWireConnection();
    PipeWireConnection(const PipeWireConnection&) = delete;
    PipeWireConnection& operator=(const PipeWireConnection&) = delete;

    // One object the daemon lists: its id, its type and its properties.
    struct Global {
        std::uint32_t id = 0;
        std::string type;
        std::map<std::string, std::string> properties;
    };
    // Everything the daemon lists, read until a round trip after asking; nothing when the list is not complete
    // within the bound.
    std::optional<std::vector<Global>> listGlobals(std::chrono::milliseconds bound);
    // Whether the daemon offers the factory that makes a client's node, waiting up to the bound for its list; a
    // daemon without it accepts connections but fails every stream.
    bool makesClientNodes(std::chrono::milliseconds bound);
    // Waits on the loop, whose lock the caller holds, until done() holds, the connection fails or the bound passes;
    // gives done().
    bool waitOnLoop(const std::function<bool()>& done, std::chrono::milliseconds bound) const;

    pw_core* core() const { return core_; }
    pw_thread_loop* loop() const { return loop_; }

    // Holds the loop's lock for its scope. Not to be taken inside a callback, which already runs under it.
    class Lock {
    public:
        explicit Lock(const PipeWireConnection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pw_thread_loop* loop_;
    };

private:
    struct CoreListener;
    PipeWireConnection();

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    std::unique_ptr<CoreListener> listener_;
};

}  // namespace kestrova::platform::pipewire
