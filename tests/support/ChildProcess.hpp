#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace kestrova::testing {

// A program run by a test: started with fork/exec, its output captured in files, always reaped.
class ChildProcess {
public:
    struct Options {
        std::map<std::string, std::string> environment;  // added to (or replacing in) the test's own
        std::vector<std::string> unsetEnvironment;
        bool pipeStdin = false;
    };

    ChildProcess(std::vector<std::string> argv, Options options);
    explicit ChildProcess(std::vector<std::string> argv) : ChildProcess(std::move(argv), Options{}) {}
    // Kills the process group if it still runs, then reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // The exit status, or -signal when a signal ended it; nothing when it did not end within the bound.
    std::optional<int> wait(std::chrono::milliseconds bound);
    void signal(int sig);
    // Writes a line to its standard input (only with pipeStdin).
    bool writeLine(const std::string& line);
    void closeStdin();

    std::string stdoutText() const;
    std::string stderrText() const;
    // Waits until its standard output contains the text.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds bound) const;

private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    std::string stdoutPath_;
    std::string stderrPath_;
    std::optional<int> status_;
};

struct RunResult {
    int status = 0;  // exit status, or -signal
    std::string out;
    std::string err;
};

// Runs a program to its end within the bound; a program that overruns is killed and reported as -SIGKILL.
RunResult runProgram(std::vector<std::string> argv, std::chrono::milliseconds bound = std::chrono::seconds(30),
                     ChildProcess::Options options = {});

}  // namespace kestrova::testing
