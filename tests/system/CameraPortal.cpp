#include "CameraPortal.hpp"

#include "WaitUntil.hpp"

#include <chrono>
#include <filesystem>

namespace kestrova::testing {

namespace {

using namespace std::chrono_literals;

constexpr auto kStartBound = 20s;

}  // namespace

CameraPortal::CameraPortal() {
    if (!bus_.isRunning() || home_.path().empty()) return;
    for (const char* directory : {"data", "config", "cache"}) {
        std::filesystem::create_directories(home_.path() + "/" + directory);
    }
    store_ = start({"xdg-permission-store"});
    if (!waitUntil([&] { return nameOwned("org.freedesktop.impl.portal.PermissionStore"); }, kStartBound, 50ms) ||
        !grantCamera()) {
        return;
    }
    pipewire_ = std::make_unique<PrivatePipeWire>(PrivatePipeWire::Kind::Complete, bus_.address());
    if (!pipewire_->ready()) return;
    backEnd_ = start({"xdg-desktop-portal-gtk"});
    // The portal says what it answered each request.
    portal_ = start({"xdg-desktop-portal", "--verbose"});
    ready_ = waitUntil(
        [&] {
            return nameOwned("org.freedesktop.impl.portal.desktop.gtk") && nameOwned("org.freedesktop.portal.Desktop");
        },
        kStartBound, 50ms);
}

std::map<std::string, std::string> CameraPortal::environment() const {
    auto environment = pipewire_ ? pipewire_->clientEnvironment() : std::map<std::string, std::string>{};
    environment.erase("PIPEWIRE_REMOTE");
    environment.insert({{"DBUS_SESSION_BUS_ADDRESS", bus_.address()},
                        // The store keeps its tables under the data home: a fresh one for each test, none of the
                        // user's.
                        {"HOME", home_.path()},
                        {"XDG_DATA_HOME", home_.path() + "/data"},
                        {"XDG_CONFIG_HOME", home_.path() + "/config"},
                        {"XDG_CACHE_HOME", home_.path() + "/cache"},
                        // The GTK back-end serves GNOME; its settings stay in memory rather than in a dconf service.
                        {"XDG_CURRENT_DESKTOP", "GNOME"},
                        {"GSETTINGS_BACKEND", "memory"},
                        {"GIO_USE_VFS", "local"}});
    return environment;
}

ChildProcess::Options CameraPortal::clientOptions() const {
    ChildProcess::Options options;
    options.environment = environment();
    options.unsetEnvironment = {"PIPEWIRE_REMOTE"};
    return options;
}

std::unique_ptr<ChildProcess> CameraPortal::start(std::vector<std::string> command) const {
    command.front() = "/usr/libexec/" + command.front();
    return std::make_unique<ChildProcess>(std::move(command), clientOptions());
}

bool CameraPortal::nameOwned(const std::string& name) const {
    const auto reply = runProgram({"dbus-send", "--bus=" + bus_.address(), "--print-reply",
                                   "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                                  kStartBound);
    return reply.status == 0 && reply.out.find("boolean true") != std::string::npos;
}

// The devices table's "camera" entry says "yes" for the empty application id of programs outside a sandbox.
bool CameraPortal::grantCamera() const {
    return runProgram({"dbus-send", "--bus=" + bus_.address(), "--print-reply",
                       "--dest=org.freedesktop.impl.portal.PermissionStore",
                       "/org/freedesktop/impl/portal/PermissionStore",
                       "org.freedesktop.impl.portal.PermissionStore.SetPermission", "string:devices", "boolean:true",
                       "string:camera", "string:", "array:string:yes"},
                      kStartBound)
               .status == 0;
}

std::string CameraPortal::logs() const {
    std::string text;
    const auto add = [&](const char* name, const std::unique_ptr<ChildProcess>& process) {
        if (process) text += std::string("--- ") + name + "\n" + process->stdoutText() + process->stderrText();
    };
    add("xdg-permission-store", store_);
    add("xdg-desktop-portal-gtk", backEnd_);
    add("xdg-desktop-portal", portal_);
    return text;
}

}  // namespace kestrova::testing
