#!/usr/bin/env bash
# The installed package on a Plasma Wayland session, KWin's permission checks on. Started from its desktop entry, the
# program is granted window listing and capture: its menu lists the companion's native Wayland window and it
# transmits it. The same program copied elsewhere matches no entry, is refused both, and falls back to X11: the
# native window never shows, the companion's X11 window does.
#   kwin-entry.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/support.sh"
build=$1
start_package_desktop "$build"
source "$KESTROVA_SOURCE_DIR/scripts/kwin.sh"
copy=$(mktemp -d)
stop_all() {
    set +e
    kwin_stop
    stop_private_desktop
    rm -rf "$copy"
}
trap stop_all EXIT
kwin_start --permission-checks >/dev/null || fail "KWin did not start: $(cat "$KESTROVA_RUNTIME/kwin.log")"
wayland=WAYLAND_DISPLAY=$KESTROVA_KWIN_SOCKET

start_tracked env "$wayland" "$build/kestrova-output-demo" --wayland Nativa </dev/null >/dev/null 2>&1
launch_entry "$PACKAGE_ENTRY" "$wayland"
bridge=$LAUNCHED
shown=$(menu "Transmitiendo como Kestrova Bridge") ||
    fail "the installed program never transmitted the native window: $(cat "$KESTROVA_RUNTIME/bridge.log")"
grep -q "✓ Kestrova Output | Nativa" <<<"$shown" || fail "the native window is not ticked: $shown"
echo "installed, started from its entry: «Transmitiendo como Kestrova Bridge», «Kestrova Output | Nativa» ticked"
quit_from_menu "$bridge"

cp /usr/bin/kestrova-bridge "$copy/"
(cd / && exec env "$wayland" "$copy/kestrova-bridge") >"$KESTROVA_RUNTIME/copy.log" 2>&1 &
STARTED_PIDS+=($!)
shown=$(menu "Buscando pantallas Kestrova") || fail "the copy shows no item: $(cat "$KESTROVA_RUNTIME/copy.log")"
echo "copy in $copy: «Buscando pantallas Kestrova» with the native window open"
# The X11 provider sees only X windows; KWin here has no Xwayland, so this window cannot reach a KWin listing.
start_tracked "$build/kestrova-output-demo" Equis </dev/null >/dev/null 2>&1
shown=$(menu "Transmitiendo como Kestrova Bridge") || fail "the copy did not fall back to X11 windows"
grep -q "✓ Kestrova Output | Equis" <<<"$shown" || fail "the X11 window is not ticked: $shown"
! grep -q "Nativa" <<<"$shown" || fail "the copy was granted the native window: $shown"
echo "copy: «Transmitiendo como Kestrova Bridge» with «Kestrova Output | Equis» only (X11 fallback)"
