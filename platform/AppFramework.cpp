#include "AppFramework.hpp"

namespace kestrova::platform {

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
