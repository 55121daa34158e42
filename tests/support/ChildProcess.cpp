#include "ChildProcess.hpp"

#include "WaitUntil.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrova::testing {

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string temporaryPath(const char* what) {
    std::string pattern = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/kestrova-" +
                          what + "-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd >= 0) close(fd);
    return pattern;
}

int decodeStatus(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw); }

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, Options options)
    : stdoutPath_(temporaryPath("out")), stderrPath_(temporaryPath("err")) {
    int stdinPipe[2] = {-1, -1};
    if (options.pipeStdin && pipe2(stdinPipe, O_CLOEXEC) != 0) return;

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        const std::string key = entry.substr(0, entry.find('='));
        bool dropped = options.environment.count(key) > 0;
        for (const auto& unset : options.unsetEnvironment) dropped = dropped || unset == key;
        if (!dropped) env.push_back(entry);
    }
    for (const auto& [key, value] : options.environment) env.push_back(key + "=" + value);

    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);
        const int out = open(stdoutPath_.c_str(), O_WRONLY | O_TRUNC);
        const int err = open(stderrPath_.c_str(), O_WRONLY | O_TRUNC);
        const int in = options.pipeStdin ? stdinPipe[0] : open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (options.pipeStdin) {
        close(stdinPipe[0]);
        stdinFd_ = stdinPipe[1];
    }
}

ChildProcess::~ChildProcess() {
    closeStdin();
    if (pid_ > 0 && !status_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        wait(std::chrono::seconds(10));
    }
    unlink(stdoutPath_.c_str());
    unlink(stderrPath_.c_str());
}

bool ChildProcess::running() {
    if (status_ || pid_ <= 0) return false;
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = decodeStatus(raw);
        return false;
    }
    return true;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds bound) {
    if (!waitUntil([this] { return !running(); }, bound)) return std::nullopt;
    return status_;
}

void ChildProcess::signal(int sig) {
    if (running()) kill(pid_, sig);
}

bool ChildProcess::writeLine(const std::string& line) {
    if (stdinFd_ < 0) return false;
    const std::string text = line + "\n";
    return ::write(stdinFd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::closeStdin() {
    if (stdinFd_ >= 0) close(stdinFd_);
    stdinFd_ = -1;
}

std::string ChildProcess::stdoutText() const { return readFile(stdoutPath_); }

std::string ChildProcess::stderrText() const { return readFile(stderrPath_); }

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds bound) const {
    return waitUntil([&] { return stdoutText().find(text) != std::string::npos; }, bound);
}

RunResult runProgram(std::vector<std::string> argv, std::chrono::milliseconds bound, ChildProcess::Options options) {
    ChildProcess child(std::move(argv), std::move(options));
    RunResult result;
    const auto status = child.wait(bound);
    result.status = status ? *status : -SIGKILL;
    result.out = child.stdoutText();
    result.err = child.stderrText();
    return result;
}

}  // namespace kestrova::testing
