#include "HeadlessBrowser.hpp"

#include <chrono>
#include <csignal>
#include <sstream>

namespace kestrova::testing {

HeadlessBrowser::HeadlessBrowser(const std::string& url, ChildProcess::Options options) {
    // A new profile in a home of its own; running as root needs --no-sandbox. Whatever reaches out to the
    // network by itself is turned off: this machine's network refuses it.
    options.environment["HOME"] = profile_.path();
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"chromium",
                                 "--headless",
                                 "--no-sandbox",
                                 "--disable-gpu",
                                 "--disable-quic",
                                 "--no-first-run",
                                 "--disable-background-networking",
                                 "--disable-component-update",
                                 "--disable-sync",
                                 "--user-data-dir=" + profile_.path() + "/profile",
                                 "--enable-features=WebRtcPipeWireCamera",
                                 // Answers the page's camera prompt as a user who allows it.
                                 "--use-fake-ui-for-media-stream",
                                 "--autoplay-policy=no-user-gesture-required",
                                 "--enable-logging=stderr",
                                 url},
        options);
}

HeadlessBrowser::~HeadlessBrowser() {
    process_->signal(SIGTERM);
    process_->wait(std::chrono::seconds(10));
}

// Chromium logs a console message as: [...:INFO:CONSOLE:LINE] "MESSAGE", source: URL (LINE)
std::vector<std::string> HeadlessBrowser::consoleMessages() const {
    static const std::string kStart = ":INFO:CONSOLE";
    static const std::string kEnd = "\", source: ";
    std::vector<std::string> messages;
    std::istringstream lines(process_->stderrText());
    for (std::string line; std::getline(lines, line);) {
        const auto start = line.find(kStart);
        if (start == std::string::npos) continue;
        const auto open = line.find("] \"", start);
        const auto end = line.rfind(kEnd);
        if (open == std::string::npos || end == std::string::npos || end < open + 3) continue;
        messages.push_back(line.substr(open + 3, end - open - 3));
    }
    return messages;
}

}  // namespace kestrova::testing
