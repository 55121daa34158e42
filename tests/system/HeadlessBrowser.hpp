#pragma once

// Debian's Chromium without a screen, on a profile of its own, showing one page and taking cameras from PipeWire
// through the desktop portal. What the page logs on its console is read back from the browser's standard error.

#include "ChildProcess.hpp"
#include "PipeWireTestSupport.hpp"

#include <memory>
#include <string>
#include <vector>

namespace kestrova::testing {

class HeadlessBrowser {
public:
    // The options carry the bus of the portal the browser asks for cameras.
    HeadlessBrowser(const std::string& url, ChildProcess::Options options);
    // Asks the browser to quit, then ends what is left of it.
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    bool running() { return process_->running(); }
    // Every message the page gave console.log, in order.
    std::vector<std::string> consoleMessages() const;
    std::string errors() const { return process_->stderrText(); }

private:
    TemporaryDirectory profile_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace kestrova::testing
