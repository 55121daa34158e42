#include "AppFramework.hpp"

#include <cstdio>
#include <cstdlib>

namespace kestrova::platform {

namespace {

std::shared_ptr<Application>& installedApplication() {
    static std::shared_ptr<Application> application;
    return application;
}

}  // namespace

Application& sharedApplication() {
    auto& application = installedApplication();
    if (!application) {
        std::fputs("kestrova: no application provider installed\n", stderr);
        std::abort();
    }
    return *application;
}

void installApplication(std::shared_ptr<Application> application) {
    installedApplication() = std::move(application);
}

void performAction(Application& application, const MenuItem& item) {
    const auto target = item.target.lock();
    switch (item.action) {
        case MenuAction::none:
            return;
        case MenuAction::selectWindow:
            if (target) target->selectWindow(item);
            return;
        case MenuAction::openScreenRecordingSettings:
            if (target) target->openScreenRecordingSettings();
            return;
        case MenuAction::terminate:
            if (!target) application.terminate();
            return;
    }
}

}  // namespace kestrova::platform
