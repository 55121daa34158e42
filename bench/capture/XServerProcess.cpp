#include "XServerProcess.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace kestrova::bench {

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool isXvfb(pid_t pid) { return readText("/proc/" + std::to_string(pid) + "/comm") == "Xvfb\n"; }

// The Xvfb that holds the display's listening socket: one started with -displayfd leaves no lock file and names no
// display on its command line.
pid_t socketHolder(const std::string& number) {
    std::ifstream table("/proc/net/unix");
    std::vector<std::string> sockets;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string field, inode, path;
        for (int i = 0; i < 7 && fields >> field; ++i) inode = field;
        fields >> path;
        if (path == "/tmp/.X11-unix/X" + number || path == "@/tmp/.X11-unix/X" + number) {
            sockets.push_back("socket:[" + inode + "]");
        }
    }
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    pid_t found = 0;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0 || found != 0 || !isXvfb(pid)) continue;
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        DIR* dir = opendir(fds.c_str());
        if (!dir) continue;
        while (dirent* fd = readdir(dir)) {
            char target[64] = {};
            const ssize_t length = readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target - 1);
            if (length > 0 && std::find(sockets.begin(), sockets.end(), std::string(target)) != sockets.end()) {
                found = pid;
            }
        }
        closedir(dir);
    }
    closedir(proc);
    return found;
}

}  // namespace

pid_t findXServer(const std::string& display) {
    const auto colon = display.find(':');
    if (colon == std::string::npos) return 0;
    std::string number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    const pid_t locked = static_cast<pid_t>(std::atoi(readText("/tmp/.X" + number + "-lock").c_str()));
    if (locked > 0 && isXvfb(locked)) return locked;
    return socketHolder(number);
}

}  // namespace kestrova::bench
