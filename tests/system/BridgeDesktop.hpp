#pragma once

// A desktop for one bridge: a private session bus with the tray watcher, the companion on the run's X server, and
// the program itself, its menu read and clicked as a panel does.

#include "ChildProcess.hpp"
#include "PrivateSessionBus.hpp"
#include "SniClient.hpp"
#include "WaitUntil.hpp"
#include "ProgramPaths.hpp"

#include <gtest/gtest.h>

#include <xcb/res.h>
#include <xcb/xcb.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::testing {

using namespace std::chrono_literals;

inline constexpr auto kBound = 20s;
inline const std::string kPrefix = "Kestrova Output | ";

// How many clients the X server has: a program that ends cleanly leaves none behind.
inline int xClientCount() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return -1;
    }
    auto* reply = xcb_res_query_clients_reply(connection, xcb_res_query_clients(connection), nullptr);
    const int count = reply ? static_cast<int>(reply->num_clients) : -1;
    std::free(reply);
    xcb_disconnect(connection);
    return count;
}

// The labels of a menu as a host shows them, with separators as "--", the check mark as "[x] " and disabled
// entries as "(off) ".
inline std::vector<std::string> shown(const ExportedMenu& menu) {
    std::vector<std::string> lines;
    for (const auto& entry : menu) {
        if (entry.separator) {
            lines.push_back("--");
            continue;
        }
        std::string line = entry.enabled ? "" : "(off) ";
        if (entry.toggleType == "checkmark" && entry.toggleState == 1) line += "[x] ";
        line += entry.label;
        lines.push_back(line);
    }
    return lines;
}

inline std::vector<std::string> menuWith(const std::string& status, const std::vector<std::string>& windows) {
    std::vector<std::string> lines{"(off) " + status, "--"};
    if (windows.empty()) lines.push_back("(off) No se detectaron salidas");
    lines.insert(lines.end(), windows.begin(), windows.end());
    lines.insert(lines.end(), {"--", "Permiso de grabación de pantalla\u2026", "Salir"});
    return lines;
}

class BridgeDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) {
            GTEST_SKIP() << "needs the X server of the test run";
        }
        ASSERT_TRUE(bus_.isRunning());
        client_ = std::make_unique<SniClient>(bus_.address());
        ASSERT_TRUE(client_->isConnected());
        clientsBefore_ = xClientCount();
    }
    void TearDown() override {
        bridge_.reset();
        companion_.reset();
        watcher_.reset();
        // The X server lets go of a killed client's windows a moment later; the next test must not see them.
        if (clientsBefore_ >= 0) {
            EXPECT_TRUE(waitUntil([&] { return xClientCount() <= clientsBefore_; }, kBound));
        }
        std::error_code ignored;
        if (!runtime_.empty()) std::filesystem::remove_all(runtime_, ignored);
    }

    void startWatcher() {
        watcher_ = std::make_unique<ChildProcess>(std::vector<std::string>{kestrova::testing::paths::sniWatcher}, busOptions());
        ASSERT_TRUE(watcher_->waitForOutput("ready", kBound));
    }
    void startCompanion() {
        auto options = busOptions();
        options.pipeStdin = true;
        companion_ = std::make_unique<ChildProcess>(std::vector<std::string>{kestrova::testing::paths::outputDemo}, options);
    }
    // Without a frame server the bridge captures into its diagnostic sink.
    void startBridge(bool withFrameServer = true, const std::map<std::string, std::string>& environment = {}) {
        auto options = busOptions();
        options.environment.insert(environment.begin(), environment.end());
        if (!withFrameServer) options.environment["XDG_RUNTIME_DIR"] = emptyRuntimeDirectory();
        bridge_ = std::make_unique<ChildProcess>(std::vector<std::string>{kestrova::testing::paths::bridge}, options);
    }
    void companion(const std::string& command) {
        ASSERT_TRUE(companion_);
        ASSERT_TRUE(companion_->writeLine(command));
    }
    // Gives the companion the command and waits until the X server has carried it out.
    void companionDone(const std::string& command) {
        companion(command);
        ASSERT_TRUE(companion_->waitForOutput("ok " + command + "\n", kBound)) << command;
    }
    StatusItemAddress item() {
        auto found = client_->waitForItem(kBound);
        EXPECT_TRUE(found) << "the bridge's item never appeared";
        return found.value_or(StatusItemAddress{});
    }
    // Reads the menu until it shows exactly these lines; gives what it showed last.
    std::vector<std::string> waitForMenu(const std::vector<std::string>& expected) {
        const auto menu = client_->waitForMenu(
            item(), [&](const ExportedMenu& m) { return shown(m) == expected; }, kBound);
        return menu ? shown(*menu) : std::vector<std::string>{};
    }

    PrivateSessionBus bus_;
    std::unique_ptr<SniClient> client_;
    std::unique_ptr<ChildProcess> watcher_;
    std::unique_ptr<ChildProcess> companion_;
    std::unique_ptr<ChildProcess> bridge_;
    int clientsBefore_ = -1;
    // The X display of the companion and the bridge when not the run's own.
    std::string display_;

private:
    ChildProcess::Options busOptions() const {
        ChildProcess::Options options;
        options.environment["DBUS_SESSION_BUS_ADDRESS"] = bus_.address();
        if (!display_.empty()) options.environment["DISPLAY"] = display_;
        return options;
    }
    std::string emptyRuntimeDirectory() {
        if (!runtime_.empty()) return runtime_;
        char pattern[] = "/tmp/kestrova-nopw.XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made) runtime_ = made;
        return runtime_;
    }

protected:
    std::string runtime_;
};

}  // namespace kestrova::testing
