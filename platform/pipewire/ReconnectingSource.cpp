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

void ReconnectingSource::publish(const PixelBufferRef& frame) {
    // A frame no node could send must not become the size a node is made at.
    if (!publishable(frame)) return;
    std::shared_ptr<PipeWireVideoSource> node;
    {
        std::lock_guard lock(signal_->mutex);
        if (signal_->stopped) return;
        last_ = frame;
        node = current_;
    }
    // A node replaced meanwhile only drops this frame: its stream is gone.
    if (node) {
        node->publish(frame);
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
        last_ = nullptr;
        node = current_;
    }
    signal_->wake.notify_all();
    if (node) node->stop();
}

std::shared_ptr<PipeWireVideoSource> ReconnectingSource::attempt(std::uint64_t generation, const PixelBufferRef& last) {
    // Each node has a connection of its own, which goes with it: a connection that has listed the daemon's
    // registry was seen to leave the consumers of a node made on it later with buffers they could not map.
    auto connection = PipeWireConnection::open(bound_);
    if (!connection) return nullptr;
    // The loss is told on the node's loop, possibly after this object is gone.
    auto node = PipeWireVideoSource::create(std::move(connection), name_, last->width(), last->height(),
                                            bound_, [signal = signal_, generation] {
                                                {
                                                    std::lock_guard lock(signal->mutex);
                                                    if (generation != signal->generation || signal->stopped) return;
                                                    signal->lost = true;
                                                }
                                                signal->wake.notify_all();
                                            });
    if (node) node->publish(last);
    return node;
}

void ReconnectingSource::run() {
    Signal& signal = *signal_;
    std::unique_lock lock(signal.mutex);
    for (;;) {
        signal.wake.wait(lock, [&] { return signal.stopped || signal.lost || (!current_ && last_); });
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
        const PixelBufferRef last = last_;
        const std::uint64_t generation = signal.generation;
        lock.unlock();
        auto node = attempt(generation, last);
        lock.lock();
        if (node && !signal.stopped && !signal.lost) {
            // Made and handed its first frame before it is published into: no frame meets a half-built node.
            current_ = node;
            if (last_ != last && last_) {
                const PixelBufferRef newer = last_;
                lock.unlock();
                node->publish(newer);
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
