#include "ReconnectingSource.hpp"

namespace kestrova::platform::pipewire {

namespace {

// How long a failed attempt waits before the next: often enough to come back soon after the daemon does, seldom
// enough to cost nothing while it is away.
constexpr std::chrono::milliseconds kRetryPause{1000};

}  // namespace

ReconnectingSource::ReconnectingSource(std::string name, std::chrono::milliseconds bound)
    : name_(std::move(name)), bound_(bound) {}

std::shared_ptr<ReconnectingSource> ReconnectingSource::create(std::shared_ptr<PipeWireConnection> connection,
                                                               std::string name, std::chrono::milliseconds bound) {
    if (!connection || !connection->makesClientNodes(bound)) return nullptr;
    std::shared_ptr<ReconnectingSource> source(new ReconnectingSource(std::move(name), bound));
    source->connection_ = std::move(connection);
    source->thread_ = std::thread([raw = source.get()] { raw->run(); });
    return source;
}

ReconnectingSource::~ReconnectingSource() {
    {
        std::lock_guard lock(signal_->mutex);
        signal_->stopped = true;
    }
    signal_->wake.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ReconnectingSource::publish(const PixelBufferRef& frame, PixelRect region, bool flipped) {
    // A frame no node could send must not become the size a node is made at.
    if (!publishable(frame, region)) return;
    std::shared_ptr<PipeWireVideoSource> node;
    {
        std::lock_guard lock(signal_->mutex);
        if (signal_->stopped) return;
        last_ = {frame, region, flipped};
        node = current_;
    }
    // A node replaced meanwhile only drops this frame: its stream is gone.
    if (node) {
        node->publish(frame, region, flipped);
    } else {
        signal_->wake.notify_all();
    }
}

PixelBufferRef ReconnectingSource::acquireFrameBuffer(std::uint32_t width, std::uint32_t height) {
    std::shared_ptr<PipeWireVideoSource> node;
    {
        std::lock_guard lock(signal_->mutex);
        if (signal_->stopped) return nullptr;
        node = current_;
    }
    return node ? node->acquireFrameBuffer(width, height) : nullptr;
}

void ReconnectingSource::stop() {
    std::shared_ptr<PipeWireVideoSource> node;
    {
        std::lock_guard lock(signal_->mutex);
        signal_->stopped = true;
        last_ = {};
        node = current_;
    }
    signal_->wake.notify_all();
    if (node) node->stop();
}

std::shared_ptr<PipeWireVideoSource> ReconnectingSource::attempt(std::shared_ptr<PipeWireConnection> connection,
                                                                 std::uint64_t generation, const Publication& last) {
    if (!connection) connection = PipeWireConnection::open(bound_);
    if (!connection) return nullptr;
    // The loss is told on the node's loop, possibly after this object is gone.
    auto node = PipeWireVideoSource::create(std::move(connection), name_, last.region.width, last.region.height,
                                            bound_, [signal = signal_, generation] {
                                                {
                                                    std::lock_guard lock(signal->mutex);
                                                    if (generation != signal->generation || signal->stopped) return;
                                                    signal->lost = true;
                                                }
                                                signal->wake.notify_all();
                                            });
    if (node) node->publish(last.frame, last.region, last.flipped);
    return node;
}

void ReconnectingSource::run() {
    Signal& signal = *signal_;
    std::unique_lock lock(signal.mutex);
    for (;;) {
        signal.wake.wait(lock, [&] { return signal.stopped || signal.lost || (!current_ && last_.frame); });
        if (signal.stopped) return;
        if (signal.lost) {
            signal.lost = false;
            ++signal.generation;
            // The lost node goes away outside the lock; a frame being published into it meanwhile is dropped.
            auto gone = std::move(current_);
            lock.unlock();
            gone.reset();
            lock.lock();
            continue;
        }
        const Publication last = last_;
        const std::uint64_t generation = signal.generation;
        auto connection = std::move(connection_);
        lock.unlock();
        auto node = attempt(std::move(connection), generation, last);
        lock.lock();
        if (node && !signal.stopped && !signal.lost) {
            // Made and handed its first frame before it is published into: no frame meets a half-built node.
            current_ = node;
            if (!(last_ == last) && last_.frame) {
                const Publication newer = last_;
                lock.unlock();
                node->publish(newer.frame, newer.region, newer.flipped);
                lock.lock();
            }
            continue;
        }
        signal.lost = false;
        lock.unlock();
        node.reset();
        lock.lock();
        signal.wake.wait_for(lock, kRetryPause, [&] { return signal.stopped; });
    }
}

}  // namespace kestrova::platform::pipewire
