#!/usr/bin/env bash
# The installed package started as a desktop starts it: the Exec line of its installed .desktop entry, on a session
# PATH, under a private Xvfb with a tray (the test watcher). Its item appears with its menu, it transmits the
# companion's window, the README's kestrova-receive line (also from the package) receives it, and «Salir» ends it.
#   desktop-entry.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/support.sh"
build=$1
start_package_desktop "$build"

launch_entry "$PACKAGE_ENTRY"
bridge=$LAUNCHED
runs_installed() { [ "$(readlink "/proc/$bridge/exe")" = /usr/bin/kestrova-bridge ]; }
wait_for 10 runs_installed || fail "the entry's Exec did not start the package's program"

menu "Buscando pantallas Kestrova" >/dev/null ||
    fail "no item with its menu appeared: $(cat "$KESTROVA_RUNTIME/bridge.log")"
echo "item: «Buscando pantallas Kestrova» before the companion's window opens"
start_tracked "$build/kestrova-output-demo" Demo </dev/null >/dev/null 2>&1
shown=$(menu "Transmitiendo como Kestrova Bridge") || fail "the item never said it transmits"
grep -q "✓ Kestrova Output | Demo" <<<"$shown" || fail "the companion's window is not ticked: $shown"
echo "item: «Transmitiendo como Kestrova Bridge», «Kestrova Output | Demo» ticked"

line=$(readme_command "kestrova-receive ")
received=$(cd / && PATH=$SYSTEM_PATH bash -c "$line") || fail "«$line» failed: $received"
grep -q "^cuadros: 60 de 640x480" <<<"$received" || fail "«$line» printed: $received"
echo "$line: $received"

quit_from_menu "$bridge"
echo "«Salir»: the program ended (status 0)"
