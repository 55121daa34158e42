// The Qt provider's tests run inside one Qt application on the offscreen platform, with the main queue over its
// event loop installed for the whole run. The in-process session bus points nowhere, so no status-item host on
// the run's own bus can turn the in-process items into tray icons; end-to-end tests use buses of their own.

#include "qt/QtGuardedApplication.hpp"
#include "qt/QtMainQueue.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string nowhere = "unix:path=/nonexistent/kestrova-qt-tests/bus";
    setenv("DBUS_SESSION_BUS_ADDRESS", nowhere.c_str(), 1);
    kestrova::platform::qt::GuardedApplication application(argc, argv);
    kestrova::platform::qt::QtMainQueue queue;
    kestrova::platform::installMainQueue(&queue);
    const int status = RUN_ALL_TESTS();
    kestrova::platform::installMainQueue(nullptr);
    return status;
}
