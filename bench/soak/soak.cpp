// kestrova_soak [--minutes N]: runs the bridge with two companion windows and switches between them through the
// tray menu every second, for N minutes (default 10). Once a minute it prints the bridge's resident memory, its
// open descriptors and the frames a receiver gets per minute (from a three-second sample), so that a leak shows as
// a trend. Needs the servers of scripts/servers.sh in the environment (DISPLAY, session bus, PipeWire).

#include "ChildProcess.hpp"
#include "ProcessStats.hpp"
#include "SniClient.hpp"
#include "ProgramPaths.hpp"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using kestrova::testing::ChildProcess;
using kestrova::testing::openDescriptors;
using kestrova::testing::residentKiB;

namespace {

// Frames per minute, from the rate a receiver reports over a short sample.
double framesPerMinute() {
    const auto result = kestrova::testing::runProgram({kestrova::testing::paths::receive, "--frames", "90", "--timeout", "10"}, 20s);
    std::smatch match;
    if (!std::regex_search(result.out, match, std::regex(R"(([0-9.]+) por segundo)"))) return 0;
    return std::atof(match[1].str().c_str()) * 60;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    int minutes = 10;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--minutes") minutes = std::atoi(argv[i + 1]);
    }
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!std::getenv("DISPLAY") || !bus) {
        std::fputs("kestrova_soak: hacen falta DISPLAY y un bus de sesión (scripts/servers.sh)\n", stderr);
        return 1;
    }
    ChildProcess watcher({kestrova::testing::paths::sniWatcher});
    if (!watcher.waitForOutput("ready", 10s)) return 1;
    ChildProcess companion({kestrova::testing::paths::outputDemo, "Uno", "Dos"}, {{}, {}, true});
    ChildProcess bridge({kestrova::testing::paths::bridge});
    kestrova::testing::SniClient client(bus);
    const auto item = client.waitForItem(15s);
    if (!item) {
        std::fputs("kestrova_soak: el elemento de la bandeja no apareció\n", stderr);
        return 1;
    }
    std::printf("%6s %10s %12s %16s %10s\n", "minuto", "RSS (KiB)", "descriptores", "cuadros/minuto", "cambios");
    long switches = 0;
    for (int minute = 0; minute <= minutes; ++minute) {
        std::printf("%6d %10ld %12d %16.0f %10ld\n", minute, residentKiB(bridge.pid()), openDescriptors(bridge.pid()),
                    framesPerMinute(), switches);
        std::fflush(stdout);
        if (minute == minutes) break;
        const auto end = std::chrono::steady_clock::now() + 60s - 3s;
        while (std::chrono::steady_clock::now() < end) {
            if (!bridge.running()) {
                std::fputs("kestrova_soak: el programa terminó\n", stderr);
                return 1;
            }
            client.clickLabel(*item, switches % 2 ? "Kestrova Output | Uno" : "Kestrova Output | Dos");
            ++switches;
            std::this_thread::sleep_for(1s);
        }
    }
    client.clickLabel(*item, "Salir");
    const auto status = bridge.wait(20s);
    std::printf("Salir: %s\n", status == 0 ? "estado 0" : "el programa no terminó bien");
    return status == 0 ? 0 : 1;
}
