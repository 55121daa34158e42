#!/usr/bin/env bash
# cmake --install into a fresh prefix: exactly the program, kestrova-receive, the desktop files and the GNOME Shell
# extension (no demo, no test tools), each accepted by its validator and carrying the project's one version; with
# -DKESTROVA_AUTOSTART=ON, the session's autostart entry as well.
#   install-prefix.sh BUILD_DIR VERSION
set -euo pipefail
source "$(dirname "$0")/support.sh"
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

app=org.kestrova.KestrovaBridge
expected="bin/kestrova-bridge
bin/kestrova-receive
share/applications/$app.desktop
share/doc/kestrova-bridge/changelog.gz
share/doc/kestrova-bridge/copyright
share/gnome-shell/extensions/kestrova-bridge@kestrova.org/extension.js
share/gnome-shell/extensions/kestrova-bridge@kestrova.org/metadata.json
share/icons/hicolor/scalable/apps/$app.svg
share/man/man1/kestrova-bridge.1.gz
share/man/man1/kestrova-receive.1.gz
share/metainfo/$app.metainfo.xml"

validate_desktop() {
    local report
    report=$(desktop-file-validate "$1" 2>&1) || fail "desktop-file-validate rejects $1: $report"
    ! grep -qi 'error' <<<"$report" || fail "desktop-file-validate reports an error in $1: $report"
    [ -z "$report" ] || echo "desktop-file-validate: $report"
}

cmake --install "$build" --prefix "$work/usr" >/dev/null
installed=$(cd "$work/usr" && find . -type f -o -type l | sed 's|^\./||' | sort)
[ "$installed" = "$expected" ] || fail "installed files differ:
$(diff <(echo "$expected") <(echo "$installed"))"
for program in kestrova-bridge kestrova-receive; do
    [ -x "$work/usr/bin/$program" ] || fail "$program is not executable"
done

desktop="$work/usr/share/applications/$app.desktop"
validate_desktop "$desktop"
# KWin matches the entry to the running program by this absolute path (see data/CMakeLists.txt).
grep -qx "Exec=$work/usr/bin/kestrova-bridge" "$desktop" || fail "the entry does not start the installed program"
grep -qx 'X-KDE-Wayland-Interfaces=org_kde_plasma_window_management,zkde_screencast_unstable_v1' "$desktop" ||
    fail "the entry does not ask KWin for window listing and capture"
grep -qx "Icon=$app" "$desktop" || fail "the entry does not name the installed icon"
grep -qx 'Categories=AudioVideo;Video;' "$desktop" || fail "the entry's categories differ"

metainfo="$work/usr/share/metainfo/$app.metainfo.xml"
report=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli rejects the metadata: $report"
! grep -q '^E:' <<<"$report" || fail "appstreamcli reports an error: $report"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metadata's release is not $version"
grep -q "<launchable type=\"desktop-id\">$app.desktop</launchable>" "$metainfo" || fail "no launchable entry"
zcat "$work/usr/share/doc/kestrova-bridge/changelog.gz" | head -n1 | grep -q "^kestrova-bridge ($version) " ||
    fail "the changelog's entry is not $version"
grep -q '<svg' "$work/usr/share/icons/hicolor/scalable/apps/$app.svg" || fail "the icon is not an SVG"
extension="$work/usr/share/gnome-shell/extensions/kestrova-bridge@kestrova.org"
# This machine's Shell 43 loads the script format (gnome-extension.sh checks both).
cmp -s "$extension/extension.js" "$build/data/gnome-shell/legacy/kestrova-bridge@kestrova.org/extension.js" ||
    fail "the installed extension is not the one for this machine's shell"
[ ! -e "$work/usr/etc" ] || fail "an autostart entry was installed without KESTROVA_AUTOSTART"

# The autostart option alone, on a tree of its own without the providers: only data files are installed there.
cmake -S "$KESTROVA_SOURCE_DIR" -B "$work/autostart-build" -G Ninja -DKESTROVA_WITH_PROVIDERS=OFF \
      -DKESTROVA_AUTOSTART=ON >/dev/null
cmake --install "$work/autostart-build" --prefix "$work/autostart" >/dev/null
autostart="$work/autostart/etc/xdg/autostart/$app.desktop"
[ -f "$autostart" ] || fail "no autostart entry with KESTROVA_AUTOSTART=ON"
validate_desktop "$autostart"
cmp -s "$autostart" "$work/autostart/share/applications/$app.desktop" ||
    fail "the autostart entry differs from the applications-menu entry"
grep -qx "Exec=$work/autostart/bin/kestrova-bridge" "$autostart" || fail "the autostart entry starts another path"
echo "install: $(wc -l <<<"$installed") files in the prefix, validated; autostart entry with KESTROVA_AUTOSTART=ON"
