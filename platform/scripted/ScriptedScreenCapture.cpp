#include "ScriptedScreenCapture.hpp"

#include "Dispatch.hpp"

#include <future>
#include <thread>
#include <utility>

namespace kestrova::platform::scripted {

void runOn(On on, const std::function<void()>& work) {
    if (on == On::caller) {
        work();
        return;
    }
    std::thread(work).join();
}

// --- ScriptedStream --------------------------------------------------------------------------------------------

ScriptedStream::ScriptedStream(EventLog& log, Window window, StreamConfiguration configuration,
                               std::weak_ptr<StreamDelegate> d)
    : log_(log),
      window_(std::move(window)),
      configuration_(configuration),
      delegate_(std::move(d)),
      name_(window_ && window_->title ? *window_->title : std::to_string(window_ ? window_->windowID : 0)) {}

std::size_t ScriptedStream::pendingStarts() const {
    std::lock_guard lock(mutex_);
    return starts_.size();
}

std::size_t ScriptedStream::pendingStops() const {
    std::lock_guard lock(mutex_);
    return stops_.size();
}

bool ScriptedStream::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

std::optional<Error> ScriptedStream::addStreamOutput(std::weak_ptr<StreamOutput> output, int outputType,
                                                     std::shared_ptr<SerialQueue> sampleHandlerQueue) {
    log_.add("add " + name_ + " type " + std::to_string(outputType));
    if (addError) return addError;
    std::lock_guard lock(mutex_);
    output_ = std::move(output);
    outputType_ = outputType;
    queue_ = std::move(sampleHandlerQueue);
    return std::nullopt;
}

void ScriptedStream::startCapture(StreamCompletion completion) {
    log_.add("start " + name_);
    std::lock_guard lock(mutex_);
    starts_.push_back(std::move(completion));
}

void ScriptedStream::stopCapture(StreamCompletion completion) {
    log_.add("stop " + name_);
    std::lock_guard lock(mutex_);
    stops_.push_back(std::move(completion));
}

bool ScriptedStream::releaseStart(std::optional<Error> error, On on) {
    return release(starts_, true, std::move(error), on);
}

bool ScriptedStream::releaseStop(std::optional<Error> error, On on) {
    return release(stops_, false, std::move(error), on);
}

bool ScriptedStream::release(std::deque<StreamCompletion>& held, bool starting, std::optional<Error> error, On on) {
    StreamCompletion completion;
    {
        std::lock_guard lock(mutex_);
        if (held.empty()) return false;
        completion = std::move(held.front());
        held.pop_front();
        // The stream's state changes before its owner hears of it, as with a real service. A stream stopped while
        // it was starting does not run when the start then completes.
        if (!error && starting) running_ = !stopped_;
        if (!error && !starting) {
            running_ = false;
            stopped_ = true;
        }
    }
    runOn(on, [&] { completion(std::move(error)); });
    return true;
}

bool ScriptedStream::deliver(SampleBuffer sample, int outputType) {
    std::shared_ptr<SerialQueue> queue;
    std::weak_ptr<StreamOutput> output;
    {
        std::lock_guard lock(mutex_);
        if (!running_ || !queue_ || outputType != outputType_) return false;
        queue = queue_;
        output = output_;
    }
    queue->async([self = shared_from_this(), output, sample = std::move(sample), outputType] {
        if (auto receiver = output.lock()) receiver->streamDidOutputSampleBuffer(*self, sample, outputType);
    });
    return true;
}

void ScriptedStream::waitForDeliveries() {
    std::shared_ptr<SerialQueue> queue;
    {
        std::lock_guard lock(mutex_);
        queue = queue_;
    }
    if (!queue) return;
    std::promise<void> handled;
    queue->async([&handled] { handled.set_value(); });
    handled.get_future().wait();
}

void ScriptedStream::stopWithError(const Error& error, On on) {
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    log_.add("stopped " + name_ + ": " + error.description);
    runOn(on, [&] {
        if (auto delegate = delegate_.lock()) delegate->streamDidStopWithError(*this, error);
    });
}

// --- ScriptedScreenCapture -------------------------------------------------------------------------------------

std::size_t ScriptedScreenCapture::pendingQueries() const {
    std::lock_guard lock(mutex_);
    return queries_.size();
}

std::size_t ScriptedScreenCapture::queryCount() const {
    std::lock_guard lock(mutex_);
    return queryCount_;
}

bool ScriptedScreenCapture::answer(ShareableContentAnswer answer, On on) {
    std::function<void(ShareableContentAnswer)> completion;
    {
        std::lock_guard lock(mutex_);
        if (queries_.empty()) return false;
        completion = std::move(queries_.front());
        queries_.pop_front();
    }
    runOn(on, [&] { completion(std::move(answer)); });
    return true;
}

std::vector<std::shared_ptr<ScriptedStream>> ScriptedScreenCapture::streams() const {
    std::lock_guard lock(mutex_);
    return streams_;
}

std::shared_ptr<ScriptedStream> ScriptedScreenCapture::lastStream() const {
    std::lock_guard lock(mutex_);
    return streams_.empty() ? nullptr : streams_.back();
}

void ScriptedScreenCapture::failNextRegistration(Error error) {
    std::lock_guard lock(mutex_);
    nextRegistrationError_ = std::move(error);
}

void ScriptedScreenCapture::getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                                std::function<void(ShareableContentAnswer)> completion) {
    log_.add(std::string("query ") + (excludingDesktopWindows ? "without desktop" : "with desktop") +
             (onScreenWindowsOnly ? ", on screen only" : ", all windows"));
    std::lock_guard lock(mutex_);
    ++queryCount_;
    queries_.push_back(std::move(completion));
}

std::shared_ptr<Stream> ScriptedScreenCapture::makeStream(const ContentFilter& filter,
                                                          const StreamConfiguration& configuration,
                                                          std::weak_ptr<StreamDelegate> delegate) {
    auto stream = std::make_shared<ScriptedStream>(log_, filter.window(), configuration, std::move(delegate));
    log_.add("create " + stream->name());
    std::lock_guard lock(mutex_);
    stream->addError = std::exchange(nextRegistrationError_, std::nullopt);
    streams_.push_back(stream);
    return stream;
}

}  // namespace kestrova::platform::scripted
