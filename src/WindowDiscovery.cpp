#include "WindowDiscovery.hpp"

#include <algorithm>

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace kestrova {

namespace {

// Whether the collator tells a letter from its capital at the strength it was set to.
bool seesCase(const icu::Collator& collator) {
    UErrorCode status = U_ZERO_ERROR;
    return collator.compare(icu::UnicodeString(u"a"), icu::UnicodeString(u"A"), status) != UCOL_EQUAL ||
           U_FAILURE(status);
}

// Case-insensitive, digit runs by value, the locale for the rest. Some tailorings order by case before anything
// else (en_US_POSIX, which ICU uses for the C and POSIX locales, puts every capital first); for those the locale's
// language and country without the variant decide, or else the root order.
std::unique_ptr<icu::Collator> naturalCollator(const icu::Locale& locale) {
    const icu::Locale candidates[] = {locale, icu::Locale(locale.getLanguage(), locale.getCountry()),
                                      icu::Locale::getRoot()};
    for (const auto& candidate : candidates) {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(candidate, status));
        if (U_FAILURE(status) || !collator) continue;
        collator->setStrength(icu::Collator::SECONDARY);
        collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
        if (U_SUCCESS(status) && !seesCase(*collator)) return collator;
    }
    return nullptr;
}

// The collator of ICU's current default locale, made again when that locale changes. Main thread only.
const icu::Collator* currentCollator() {
    static std::string localeName;
    static std::unique_ptr<icu::Collator> collator;
    const icu::Locale& locale = icu::Locale::getDefault();
    if (!collator || localeName != locale.getName()) {
        collator = naturalCollator(locale);
        localeName = locale.getName();
    }
    return collator.get();
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
    const icu::Collator* collator = currentCollator();
    // Every kept window has a title: compare the records' own text rather than copies of it.
    std::stable_sort(kept.begin(), kept.end(), [collator](const DiscoveredWindow& a, const DiscoveredWindow& b) {
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

WindowDiscovery::~WindowDiscovery() { stop(); }

std::shared_ptr<WindowDiscovery> WindowDiscovery::create(platform::ScreenCaptureService& screenCapture) {
    return std::shared_ptr<WindowDiscovery>(new WindowDiscovery(screenCapture));
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
    // Awaiters are named locals: GCC 12 may destroy a temporary one twice.
    while (!co_await platform::isCancelled()) {
        if (auto self = discovery.lock()) {
            auto scanning = self->scan();
            co_await scanning;
        }
        auto pause = platform::sleepFor(constants::kPollInterval);
        co_await pause;
    }
}

platform::Task<> WindowDiscovery::scan() {
    auto self = shared_from_this();
    auto query = platform::awaitCompletion<platform::ShareableContentAnswer>(
        [&service = screenCapture_](platform::Completion<platform::ShareableContentAnswer> done) {
            service.getShareableContent(true, false, [done](platform::ShareableContentAnswer a) {
                done(std::move(a));
            });
        });
    auto answer = co_await query;
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
