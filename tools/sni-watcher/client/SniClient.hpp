#pragma once

// What a panel sees of a status item, read over D-Bus: the items a watcher lists, an item's properties, its menu
// through com.canonical.dbusmenu (GetLayout), and clicks on its entries (Event "clicked"). Needs a
// QCoreApplication in the process; calls block, each within its own bound.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::testing {

struct StatusItemAddress {
    std::string service;
    std::string path;
};

struct StatusItemView {
    std::string id;
    std::string title;
    std::string toolTipTitle;
    std::string status;
    std::string menuPath;
    int iconWidth = 0;
    int iconHeight = 0;
    // Whether any pixel of the icon is not fully transparent.
    bool iconHasInk = false;
};

// One top-level entry of an exported menu, with dbusmenu's defaults filled in.
struct ExportedMenuEntry {
    int id = 0;
    bool separator = false;
    // The label as a host shows it: dbusmenu's mnemonic markers taken out ("_x" is "x", "__" is "_").
    std::string label;
    bool enabled = true;
    bool visible = true;
    std::string toggleType;  // "checkmark", "radio" or empty
    int toggleState = -1;
    std::vector<std::vector<std::string>> shortcut;
};

using ExportedMenu = std::vector<ExportedMenuEntry>;

class SniClient {
public:
    // Connects to the bus at the address (a private session bus, usually).
    explicit SniClient(const std::string& busAddress);
    ~SniClient();
    SniClient(const SniClient&) = delete;
    SniClient& operator=(const SniClient&) = delete;

    bool isConnected() const;

    // The items that org.kde.StatusNotifierWatcher lists; empty when there is no watcher.
    std::vector<StatusItemAddress> registeredItems() const;
    // Waits until the watcher lists an item, and gives the first.
    std::optional<StatusItemAddress> waitForItem(std::chrono::milliseconds bound) const;

    std::optional<StatusItemView> readItem(const StatusItemAddress& item) const;
    std::optional<ExportedMenu> readMenu(const StatusItemAddress& item) const;
    // Reads the menu until it satisfies the predicate; gives the last menu read (or nothing when none could be).
    std::optional<ExportedMenu> waitForMenu(const StatusItemAddress& item,
                                            const std::function<bool(const ExportedMenu&)>& done,
                                            std::chrono::milliseconds bound) const;

    bool click(const StatusItemAddress& item, int entryId) const;
    // Entry ids change whenever the menu is rebuilt, so this reads the menu afresh and clicks the first entry
    // with the label.
    bool clickLabel(const StatusItemAddress& item, const std::string& label) const;

private:
    struct Connection;
    std::unique_ptr<Connection> connection_;
};

}  // namespace kestrova::testing
