#pragma once

// CPU time the benchmarks charge to a frame: this process's own, and another's (a server or a daemon that does
// part of the work) read from /proc.

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace kestrova::bench {

inline double milliseconds(const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; }

// User plus system CPU of this process so far, in milliseconds.
inline double selfCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
}

// User plus system CPU of a process so far, in milliseconds, from /proc; -1 when it cannot be read.
inline double processCpuMs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold spaces: the fields are counted from after it.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace kestrova::bench
