#include "WindowDiscovery.hpp"

#include <algorithm>

#include <unicode/coll.h>
#include <unicode/locid.h>

namespace kestrova {

namespace {

// Case-insensitive, digit runs by value, the user's locale for the rest.
std::unique_ptr<icu::Collator> naturalCollator() {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu::Locale::getDefault(), status));
    if (U_FAILURE(status) || !collator) return nullptr;
    collator->setStrength(icu::Collator::SECONDARY);
    collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    return collator;
}

}  // namespace

std::vector<DiscoveredWindow> outputWindows(const std::vector<platform::Window>& windows, std::int32_t ownProcess) {
    std::vector<DiscoveredWindow> kept;
    for (const auto& w : windows) {
        if (!w || w->windowLayer != 0) continue;
        if (w->owningApplication && w->owningApplication->processID == ownProcess) continue;
        if (!w->title || !w->title->starts_with(constants::kTitlePrefix)) continue;
        kept.push_back(DiscoveredWindow{w});
    }
    static const std::unique_ptr<icu::Collator> collator = naturalCollator();
    // Every kept window has a title: compare the records' own text rather than copies of it.
    std::stable_sort(kept.begin(), kept.end(), [](const DiscoveredWindow& a, const DiscoveredWindow& b) {
        const std::string& ta = *a.window->title;
        const std::string& tb = *b.window->title;
        if (!collator) return ta < tb;
        UErrorCode status = U_ZERO_ERROR;
        return collator->compareUTF8(ta, tb, status) == UCOL_LESS;
    });
    return kept;
}

std::string signature(const std::vector<DiscoveredWindow>& windows) {
    std::string text;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        if (i > 0) text += '|';
        text += std::to_string(windows[i].id());
        text += ':';
        text += windows[i].title();
    }
    return text;
}

std::shared_ptr<WindowDiscovery> WindowDiscovery::create() {
    return std::shared_ptr<WindowDiscovery>(new WindowDiscovery());
}

void WindowDiscovery::start() {
    if (pollingTask) return;
    pollingTask = platform::spawn(poll(weak_from_this()));
}

void WindowDiscovery::stop() {
    if (pollingTask) pollingTask->cancel();
    pollingTask.reset();
}

platform::Task<> WindowDiscovery::poll(std::weak_ptr<WindowDiscovery> discovery) {
    while (!co_await platform::isCancelled()) {
        if (auto self = discovery.lock()) co_await self->scan();
        co_await platform::sleepFor(constants::kPollInterval);
    }
}

platform::Task<> WindowDiscovery::scan() {
    auto self = shared_from_this();
    auto answer = co_await platform::awaitCompletion<platform::ShareableContentAnswer>(
        [](platform::Completion<platform::ShareableContentAnswer> done) {
            platform::screenCapture().getShareableContent(true, false, [done](platform::ShareableContentAnswer a) {
                done(std::move(a));
            });
        });
    if (co_await platform::isCancelled()) co_return;
    if (answer.content) {
        report(outputWindows(answer.content->windows, platform::currentProcessID()));
    } else {
        reportFailure(answer.error ? *answer.error
                                   : platform::Error("La lista de ventanas llegó sin contenido ni error"));
    }
}

void WindowDiscovery::report(std::vector<DiscoveredWindow> windows) {
    std::string next = signature(windows);
    if (next == previousSignature) return;
    previousSignature = std::move(next);
    if (onChange) onChange(windows);
}

void WindowDiscovery::reportFailure(const platform::Error& error) {
    if (previousSignature == constants::kErrorSignature) return;
    previousSignature = std::string(constants::kErrorSignature);
    if (onError) onError(error);
}

}  // namespace kestrova
