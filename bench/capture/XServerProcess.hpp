#pragma once

// Which process is the X server of a display, so the benchmark can charge it its share of each frame.

#include <sys/types.h>

#include <string>

namespace kestrova::bench {

// The Xvfb serving the display: the pid its lock file names, else the one holding its socket; 0 when none is found.
pid_t findXServer(const std::string& display);

}  // namespace kestrova::bench
