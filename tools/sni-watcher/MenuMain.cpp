// sni-menu: the status item's menu as a user sees it, read over the session bus like a panel reads it.
//   sni-menu show [--until TEXT] [--timeout SECONDS]   prints the menu, once its first line begins with TEXT
//   sni-menu click LABEL [--timeout SECONDS]           chooses the first entry with that label
// Exits 0 on success, 1 when no item, no such entry or no such menu appeared in time.

#include "SniClient.hpp"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using kestrova::testing::ExportedMenu;
using kestrova::testing::SniClient;

std::string shortcutText(const std::vector<std::vector<std::string>>& shortcut) {
    std::string text;
    for (const auto& chord : shortcut) {
        for (const auto& key : chord) text += (text.empty() ? "" : "+") + (key == "Control" ? std::string("Ctrl") : key);
    }
    return text;
}

void print(const ExportedMenu& menu) {
    for (const auto& entry : menu) {
        if (!entry.visible) continue;
        if (entry.separator) {
            std::puts("    ────────────────");
            continue;
        }
        const bool checked = entry.toggleType == "checkmark" && entry.toggleState == 1;
        std::string line = std::string(checked ? "  ✓ " : "    ") + entry.label;
        if (!entry.enabled) line += "   (desactivado)";
        if (!entry.shortcut.empty()) line += "   " + shortcutText(entry.shortcut);
        std::puts(line.c_str());
    }
}

int usage() {
    std::fputs("uso: sni-menu show [--until TEXTO] [--timeout SEGUNDOS] | sni-menu click ETIQUETA\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc < 2) return usage();
    const std::string_view command = argv[1];
    std::string argument;
    std::string until;
    std::chrono::milliseconds bound(10000);
    for (int i = 2; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--until" && i + 1 < argc) {
            until = argv[++i];
        } else if (option == "--timeout" && i + 1 < argc) {
            bound = std::chrono::milliseconds(static_cast<long>(std::atof(argv[++i]) * 1000));
        } else {
            argument = option;
        }
    }
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    SniClient client(address ? address : "");
    if (!client.isConnected()) {
        std::fputs("sni-menu: no hay bus de sesión\n", stderr);
        return 1;
    }
    const auto item = client.waitForItem(bound);
    if (!item) {
        std::fputs("sni-menu: ningún elemento en la bandeja\n", stderr);
        return 1;
    }
    if (command == "show") {
        const auto menu = client.waitForMenu(
            *item, [&](const ExportedMenu& m) { return !m.empty() && m.front().label.starts_with(until); }, bound);
        if (!menu || menu->empty()) {
            std::fputs("sni-menu: el menú no se pudo leer\n", stderr);
            return 1;
        }
        print(*menu);
        return menu->front().label.starts_with(until) ? 0 : 1;
    }
    if (command == "click" && !argument.empty()) {
        if (client.clickLabel(*item, argument)) return 0;
        std::fprintf(stderr, "sni-menu: no hay una entrada «%s»\n", argument.c_str());
        return 1;
    }
    return usage();
}
