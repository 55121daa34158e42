#include "CaptureThread.hpp"

#include "FrameServer.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <system_error>
#include <thread>

#include <sys/eventfd.h>
#include <unistd.h>

namespace kestrova::platform {

namespace {

constexpr int kOutputTypeScreen = 0;
constexpr std::int64_t kFrameStatusComplete = 0;
// Output sizes past these are refused rather than mapped.
constexpr std::int64_t kLargestSide = 32768;
constexpr std::int64_t kLargestFrameBytes = std::int64_t{1} << 30;
constexpr std::chrono::nanoseconds kShortestInterval{1'000'000'000 / 60};
constexpr std::chrono::nanoseconds kLongestInterval = std::chrono::hours(1);
constexpr int kDeepestQueue = 8;

}  // namespace

std::variant<CaptureSettings, Error> captureSettingsOf(const StreamConfiguration& configuration,
                                                       const RequestError& requestError) {
    if (configuration.pixelFormat() != kPixelFormatBGRA) {
        return requestError("La captura solo puede entregar píxeles BGRA de 32 bits");
    }
    const std::int64_t w = configuration.width();
    const std::int64_t h = configuration.height();
    if (w < 1 || h < 1 || w > kLargestSide || h > kLargestSide || w * h * 4 > kLargestFrameBytes) {
        return requestError("El tamaño de salida pedido para la captura no es válido");
    }
    CaptureSettings settings;
    settings.width = static_cast<std::uint32_t>(w);
    settings.height = static_cast<std::uint32_t>(h);
    const Time t = configuration.minimumFrameInterval();
    const double seconds = t.value > 0 && t.timescale > 0 ? double(t.value) / t.timescale : 0;
    settings.interval = std::chrono::nanoseconds(static_cast<std::int64_t>(
        std::clamp(seconds * 1e9, double(kShortestInterval.count()), double(kLongestInterval.count()))));
    settings.queueDepth = static_cast<std::size_t>(std::clamp(configuration.queueDepth(), 1, kDeepestQueue));
    return settings;
}

CaptureChannel::CaptureChannel(std::weak_ptr<StreamDelegate> delegate,
                               std::weak_ptr<FrameBufferProvider> frameBuffers)
    : delegate_(std::move(delegate)),
      frameBuffers_(std::move(frameBuffers)),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CaptureChannel::~CaptureChannel() {
    if (wakeFd_ >= 0) close(wakeFd_);
}

void CaptureChannel::wake() const {
    const std::uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
}

void CaptureChannel::wait(std::span<pollfd> sources,
                          std::optional<std::chrono::steady_clock::time_point> deadline) const {
    std::array<pollfd, kMostWaitSources + 1> fds{};
    const std::size_t count = std::min(sources.size(), kMostWaitSources);
    std::copy_n(sources.begin(), count, fds.begin());
    fds[count] = {wakeFd_, POLLIN, 0};
    timespec timeout{};
    if (deadline) {
        const auto left = std::max(std::chrono::steady_clock::duration::zero(),
                                   *deadline - std::chrono::steady_clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    (void)ppoll(fds.data(), count + 1, deadline ? &timeout : nullptr, nullptr);
    for (std::size_t i = 0; i < count; ++i) sources[i].revents = fds[i].revents;
    if ((fds[count].revents & POLLIN) != 0) {
        std::uint64_t pending = 0;
        (void)!read(wakeFd_, &pending, sizeof pending);
    }
}

bool CaptureChannel::stopWanted() {
    std::lock_guard lock(mutex_);
    return abandoned_ || !stopWaiters_.empty();
}

PixelBufferRef CaptureChannel::acquireFrame() {
    if (!pool_) return nullptr;
    // The frame server's own buffer when it offers one: the frame is then written once, where consumers read it.
    // Those are bounded by the frame server; the capture's own are held to the queue depth.
    const auto frameBuffers = frameBuffers_.lock();
    if (PixelBufferRef lent = frameBuffers ? frameBuffers->acquireFrameBuffer(pool_->width(), pool_->height())
                                           : nullptr) {
        lent_ = true;
        return lent;
    }
    lent_ = false;
    std::erase_if(held_, [](const PixelBufferRef& frame) { return frame.use_count() == 1; });
    if (held_.size() >= queueDepth_) return nullptr;
    return pool_->acquire();
}

namespace {

// Every complete sample carries the same status: built once, shared by all of them.
const std::shared_ptr<const Attachments>& completeAttachments() {
    static const auto attachments = std::make_shared<const Attachments>(AttachmentArray{
        AttachmentDictionary{{std::string(kFrameInfoStatus), AttachmentValue(kFrameStatusComplete)}}});
    return attachments;
}

}  // namespace

// One frame's way to one output. Reused once the output's queue is done with it, so that handing a frame over
// builds nothing. The closure that carries it holds a plain pointer, which needs no memory of its own; the
// delivery keeps itself alive meanwhile, for the channel may be gone before the output's queue runs it.
struct CaptureChannel::Delivery {
    std::weak_ptr<Stream> handle;
    std::weak_ptr<StreamOutput> receiver;
    SampleBuffer sample;
    std::shared_ptr<Delivery> self;
    std::atomic<bool> pending{false};

    void run() {
        const std::shared_ptr<Delivery> keep = std::move(self);
        {
            auto stream = handle.lock();
            auto target = receiver.lock();
            if (stream && target) target->streamDidOutputSampleBuffer(*stream, sample, kOutputTypeScreen);
        }
        // The frame goes back as soon as the output is done with it, not when the slot is next used.
        sample.imageBuffer.reset();
        pending.store(false, std::memory_order_release);
    }
};

void CaptureChannel::deliver(const PixelBufferRef& buffer) {
    if (!lent_) held_.push_back(buffer);
    std::shared_ptr<const std::vector<Output>> outputs;
    {
        std::lock_guard lock(mutex_);
        outputs = outputs_;
    }
    for (const auto& output : *outputs) {
        if (output.type != kOutputTypeScreen) continue;
        auto slot = std::find_if(deliveries_.begin(), deliveries_.end(),
                                 [](const auto& d) { return !d->pending.load(std::memory_order_acquire); });
        if (slot == deliveries_.end()) slot = deliveries_.insert(slot, std::make_shared<Delivery>());
        Delivery& delivery = **slot;
        delivery.handle = handle_;
        delivery.receiver = output.output;
        delivery.sample.attachments = completeAttachments();
        delivery.sample.imageBuffer = buffer;
        delivery.self = *slot;
        delivery.pending.store(true, std::memory_order_relaxed);
        output.queue->async([d = &delivery] { d->run(); });
    }
}

class ThreadedStream final : public Stream, public std::enable_shared_from_this<ThreadedStream> {
public:
    ThreadedStream(const StreamConfiguration& configuration, std::weak_ptr<StreamDelegate> delegate,
                   CaptureWorkerFactory factory, RequestError requestError,
                   std::weak_ptr<FrameBufferProvider> frameBuffers)
        : channel_(std::make_shared<CaptureChannel>(std::move(delegate), std::move(frameBuffers))),
          configuration_(configuration),
          factory_(std::move(factory)),
          requestError_(std::move(requestError)) {}

    ~ThreadedStream() override {
        std::lock_guard lock(channel_->mutex_);
        channel_->abandoned_ = true;
        channel_->wake();
    }

    std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, int outputType,
                                         std::shared_ptr<SerialQueue> sampleHandlerQueue) override {
        if (!sampleHandlerQueue) return requestError_("Falta la cola en la que entregar los cuadros capturados");
        std::lock_guard lock(channel_->mutex_);
        // Copied on change: the capture thread takes the list for each frame without copying it.
        auto outputs = std::make_shared<std::vector<CaptureChannel::Output>>(*channel_->outputs_);
        outputs->push_back({std::move(output), outputType, std::move(sampleHandlerQueue)});
        channel_->outputs_ = std::move(outputs);
        return std::nullopt;
    }

    void startCapture(StreamCompletion completion) override {
        using Phase = CaptureChannel::Phase;
        std::optional<Error> refusal;
        {
            std::lock_guard lock(channel_->mutex_);
            auto settings = captureSettingsOf(configuration_, requestError_);
            if (channel_->phase_ != Phase::idle) {
                refusal = requestError_("La captura de esta ventana ya se había iniciado");
            } else if (channel_->wakeFd_ < 0) {
                refusal = requestError_("No se pudo preparar la captura de la ventana");
            } else if (auto* error = std::get_if<Error>(&settings)) {
                refusal = *error;
            } else {
                try {
                    std::thread(run, channel_, weak_from_this(), std::get<CaptureSettings>(settings), factory_,
                                completion)
                        .detach();
                    channel_->phase_ = Phase::starting;
                } catch (const std::system_error&) {
                    refusal = requestError_("No se pudo preparar la captura de la ventana");
                }
            }
            if (refusal && channel_->phase_ == Phase::idle) channel_->phase_ = Phase::ended;
        }
        if (refusal) completion(std::move(refusal));
    }

    void stopCapture(StreamCompletion completion) override {
        using Phase = CaptureChannel::Phase;
        std::optional<Error> answer;
        {
            std::lock_guard lock(channel_->mutex_);
            switch (channel_->phase_) {
                case Phase::idle:
                    answer = requestError_("La captura de esta ventana no se había iniciado");
                    break;
                case Phase::starting:
                case Phase::running:
                    // Every stop asked for before the thread ends completes when it has released everything.
                    channel_->stopWaiters_.push_back(std::move(completion));
                    channel_->wake();
                    return;
                case Phase::ended:
                    // A stream that ended on its own stops at once, the first time.
                    channel_->phase_ = Phase::stopped;
                    break;
                case Phase::stopped:
                    answer = requestError_("La captura de esta ventana ya estaba detenida");
                    break;
            }
        }
        completion(std::move(answer));
    }

private:
    // The capture thread: start, run, and report the end only once every resource of the stream is released.
    static void run(std::shared_ptr<CaptureChannel> channel, std::weak_ptr<Stream> handle, CaptureSettings settings,
                    CaptureWorkerFactory factory, StreamCompletion started) {
        using Phase = CaptureChannel::Phase;
        channel->handle_ = handle;
        channel->queueDepth_ = settings.queueDepth;
        channel->pool_ = PixelBufferPool::create(settings.width, settings.height, settings.queueDepth);
        std::optional<Error> failure;
        std::optional<Error> ended;
        {
            auto worker = factory(*channel, settings);
            failure = worker->open();
            {
                std::lock_guard lock(channel->mutex_);
                channel->phase_ = failure ? Phase::ended : Phase::running;
            }
            started(failure);
            started = nullptr;
            if (!failure) ended = worker->run();
        }
        channel->held_.clear();
        channel->deliveries_.clear();
        channel->pool_.reset();
        std::vector<StreamCompletion> waiters;
        bool report = false;
        {
            std::lock_guard lock(channel->mutex_);
            waiters.swap(channel->stopWaiters_);
            // A stop may already have come for a start that failed: the stream stays stopped.
            const bool stopped = !waiters.empty() || channel->abandoned_ || channel->phase_ == Phase::stopped;
            channel->phase_ = stopped ? Phase::stopped : Phase::ended;
            report = !stopped && ended.has_value();
        }
        if (report) {
            auto delegate = channel->delegate_.lock();
            auto stream = handle.lock();
            if (delegate && stream) delegate->streamDidStopWithError(*stream, *ended);
        }
        for (auto& waiter : waiters) waiter(std::nullopt);
    }

    std::shared_ptr<CaptureChannel> channel_;
    StreamConfiguration configuration_;
    CaptureWorkerFactory factory_;
    RequestError requestError_;
};

std::shared_ptr<Stream> makeThreadedStream(const StreamConfiguration& configuration,
                                           std::weak_ptr<StreamDelegate> delegate, CaptureWorkerFactory factory,
                                           RequestError requestError,
                                           std::weak_ptr<FrameBufferProvider> frameBuffers) {
    return std::make_shared<ThreadedStream>(configuration, std::move(delegate), std::move(factory),
                                            std::move(requestError), std::move(frameBuffers));
}

}  // namespace kestrova::platform
