#!/usr/bin/env bash
# The installed package started as a desktop starts it: the Exec line of its installed .desktop entry, on a session
# PATH, under a private Xvfb with a tray (the test watcher). Its item appears with its menu, it transmits the
# companion's window, the README's kestrova-receive line (also from the package) receives it, and «Salir» ends it.
#   desktop-entry.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/support.sh"
build=$1
entry=/usr/share/applications/org.kestrova.KestrovaBridge.desktop
[ -f "$entry" ] || fail "the package's desktop entry is not installed"
start_private_desktop "$build"
menu() { "$build/sni-menu" show --until "$1" --timeout 30; }

# A launcher drops the entry's field codes and splits the rest into words; this entry uses no quoting.
exec_line=$(sed -n 's/^Exec=//p' "$entry" | sed 's/ *%[fFuUdDnNickvm]//g')
[ -n "$exec_line" ] || fail "the entry has no Exec line"
read -r -a command <<<"$exec_line"
(cd / && PATH=$SYSTEM_PATH exec "${command[@]}") >"$KESTROVA_RUNTIME/bridge.log" 2>&1 &
bridge=$!
STARTED_PIDS+=("$bridge")
runs_installed() { [ "$(readlink "/proc/$bridge/exe")" = /usr/bin/kestrova-bridge ]; }
wait_for 10 runs_installed || fail "Exec=$exec_line did not start the package's program"

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

"$build/sni-menu" click "Salir" >/dev/null || fail "«Salir» could not be chosen"
exited() { ! kill -0 "$bridge" 2>/dev/null; }
wait_for 30 exited || fail "the program did not end after «Salir»"
status=0
wait "$bridge" || status=$?
[ $status -eq 0 ] || fail "the program ended with status $status after «Salir»"
echo "«Salir»: the program ended (status 0)"
