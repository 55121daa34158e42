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
    std::shared_ptr<ReconnectingSource> source(new ReconnectingSource(std::move(name), bound));
    source->current_ = source->makeNode(std::move(connection), 0);
    if (!source->current_) return nullptr;
    source->thread_ = std::thread([raw = source.get()] { raw->reconnect(); });
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

std::shared_ptr<PipeWireVideoSource> ReconnectingSource::makeNode(std::shared_ptr<PipeWireConnection> connection,
                                                                  std::uint64_t generation) {
    // The loss is told on the node's loop, possibly after this object is gone.
    return PipeWireVideoSource::create(std::move(connection), name_, bound_, [signal = signal_, generation] {
        {
            std::lock_guard lock(signal->mutex);
            if (generation != signal->generation || signal->stopped) return;
            signal->lost = true;
        }
        signal->wake.notify_all();
    });
}

void ReconnectingSource::publish(const PixelBufferRef& frame, PixelRect region, bool flipped) {
    std::shared_ptr<PipeWireVideoSource> node;
    {
        std::lock_guard lock(signal_->mutex);
        if (signal_->stopped) return;
        last_ = {frame, region, flipped};
        node = current_;
    }
    // A node replaced meanwhile only drops this frame: its stream is gone.
    if (node) node->publish(frame, region, flipped);
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

std::shared_ptr<PipeWireVideoSource> ReconnectingSource::attempt(std::uint64_t generation, const Publication& last) {
    auto connection = PipeWireConnection::open(bound_);
    if (!connection) return nullptr;
    auto node = makeNode(std::move(connection), generation);
    if (node && last.frame) node->publish(last.frame, last.region, last.flipped);
    return node;
}

void ReconnectingSource::reconnect() {
    Signal& signal = *signal_;
    std::unique_lock lock(signal.mutex);
    for (;;) {
        signal.wake.wait(lock, [&] { return signal.stopped || signal.lost; });
        if (signal.stopped) return;
        signal.lost = false;
        // The lost node goes away outside the lock; a frame being published into it meanwhile is dropped.
        auto gone = std::move(current_);
        const std::uint64_t generation = ++signal.generation;
        lock.unlock();
        gone.reset();
        lock.lock();
        while (!signal.stopped) {
            Publication last = last_;
            lock.unlock();
            auto node = attempt(generation, last);
            lock.lock();
            if (node && !signal.stopped && !signal.lost) {
                // Made and handed the last frame before it is published into: no frame meets a half-built node.
                current_ = node;
                if (!(last_ == last) && last_.frame) {
                    last = last_;
                    lock.unlock();
                    node->publish(last.frame, last.region, last.flipped);
                    lock.lock();
                }
                break;
            }
            signal.lost = false;
            lock.unlock();
            node.reset();
            lock.lock();
            signal.wake.wait_for(lock, kRetryPause, [&] { return signal.stopped; });
        }
    }
}

}  // namespace kestrova::platform::pipewire
