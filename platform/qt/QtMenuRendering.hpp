#pragma once

// Puts a platform-free menu model on screen as the actions of a QMenu.

#include "AppFramework.hpp"

#include <memory>

class QMenu;

namespace kestrova::platform::qt {

// Empties the menu and adds every entry of the model afresh, in order. A chosen item is sent, with the value it
// carries read back from its action, through performAction once the menu's own signal handling is over.
void renderMenu(QMenu& menu, const Menu& model, std::weak_ptr<Application> application);

}  // namespace kestrova::platform::qt
