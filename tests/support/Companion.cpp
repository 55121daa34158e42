#include "Companion.hpp"

#include "WaitUntil.hpp"

namespace kestrova::testing {

namespace {

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

ChildProcess::Options withStdin(ChildProcess::Options options) {
    options.pipeStdin = true;
    return options;
}

}  // namespace

CompanionProcess::CompanionProcess(std::vector<std::string> argv, ChildProcess::Options options,
                                   std::chrono::milliseconds bound)
    : process_(std::move(argv), withStdin(std::move(options))), bound_(bound) {}

CompanionProcess::~CompanionProcess() {
    if (!process_.running()) return;
    for (const auto& name : opened_) command("close " + name);
}

bool CompanionProcess::command(const std::string& line) {
    if (line.rfind("open ", 0) == 0) {
        const auto end = line.find(' ', 5);
        opened_.push_back(line.substr(5, end == std::string::npos ? std::string::npos : end - 5));
    }
    // The same command may have been answered before: wait for one more answer than there was.
    const std::string answer = "ok " + line + "\n";
    const std::size_t before = occurrences(process_.stdoutText(), answer);
    if (!process_.writeLine(line)) return false;
    bool refused = false;
    const bool answered = waitUntil(
        [&] {
            const std::string out = process_.stdoutText();
            refused = out.find("error " + line + "\n") != std::string::npos;
            return refused || occurrences(out, answer) > before;
        },
        bound_);
    return answered && !refused;
}

}  // namespace kestrova::testing
