#!/usr/bin/env bash
# The GNOME Shell extension in both of its formats, as the build makes them: each names the project's uuid and its
# shells, the script format (Shell 43, 44) parses as a script, the module format (45 and later) as a module. Only
# parsed: the shell's own modules, which they import, exist only inside the shell.
#   gnome-extension.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/support.sh"
made="$1/data/gnome-shell"

for format in legacy module; do
    metadata="$made/$format/kestrova-bridge@kestrova.org/metadata.json"
    grep -q '"uuid": "kestrova-bridge@kestrova.org"' "$metadata" || fail "the $format extension's uuid differs"
done
grep -q '"shell-version": \["43", "44"\]' "$made/legacy/kestrova-bridge@kestrova.org/metadata.json" ||
    fail "the script format is not for Shell 43 and 44"
grep -q '"shell-version": \["45",' "$made/module/kestrova-bridge@kestrova.org/metadata.json" ||
    fail "the module format is not for Shell 45 and later"

gjs -c "const {GLib} = imports.gi;
        new Function(new TextDecoder().decode(
            GLib.file_get_contents('$made/legacy/kestrova-bridge@kestrova.org/extension.js')[1]));" ||
    fail "the script format does not parse"
# gjs parses a module before it resolves its imports; only the shell's own import may fail.
report=$(gjs -m "$made/module/kestrova-bridge@kestrova.org/extension.js" 2>&1 || true)
! grep -q 'Failed to parse module' <<<"$report" || fail "the module format does not parse: $report"
grep -q 'resource:///org/gnome/shell/extensions/extension.js' <<<"$report" ||
    fail "the module format failed otherwise than on the shell's import: $report"
echo "gnome extension: both formats parse"
