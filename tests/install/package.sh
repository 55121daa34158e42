#!/usr/bin/env bash
# The Debian package as a user meets it, one step per test; the steps share the package's path through STATE_DIR.
#   package.sh build    STATE_DIR VERSION   the README's scripts/package: name, version, computed Depends, Recommends
#   package.sh lint     STATE_DIR           lintian: no error (warnings are printed)
#   package.sh install  STATE_DIR           the README's apt-get install line
#   package.sh selftest STATE_DIR           kestrova-bridge --self-test found on PATH
#   package.sh remove   STATE_DIR           apt-get remove, then none of the package's files is left
# "install" installs into this system; "remove" undoes it and runs even when the steps between them failed.
set -euo pipefail
source "$(dirname "$0")/support.sh"
step=$1
state=$2
package_file="$state/package-path"
package() {
    [ -s "$package_file" ] || fail "no package was built"
    cat "$package_file"
}

build() {
    local version=$1 line deb depends
    line=$(readme_command "scripts/package")
    rm -f "$package_file"
    deb=$(cd "$KESTROVA_SOURCE_DIR" && bash -c "$line" | tail -n1)
    [ "$(basename "$deb")" = "kestrova-bridge_${version}_amd64.deb" ] || fail "scripts/package made «$deb»"
    [ -f "$deb" ] || fail "$deb does not exist"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"
    depends=$(dpkg-deb -f "$deb" Depends)
    local library
    for library in libc6 libstdc++6 libqt6widgets6 libqt6dbus6 libpipewire-0.3-0 libxcb1 libxcb-composite0 \
                   libpixman-1-0 libicu72 libpng16-16 qt6-wayland; do
        grep -q "\b$library\b" <<<"$depends" || fail "Depends lacks $library: $depends"
    done
    grep -qw pipewire <<<"$(dpkg-deb -f "$deb" Recommends)" || fail "pipewire is not recommended"
    ! dpkg-deb -c "$deb" | grep -Eq 'kestrova-output-demo|sni-watcher|sni-menu|_tests' ||
        fail "the package holds the demo or a test tool"
    echo "$deb" >"$package_file"
    echo "package: $deb"
    echo "Depends: $depends"
}

lint() {
    local report status=0
    # lintian exits 1 when it found errors and 2 when it could not check at all.
    report=$(lintian --fail-on error --tag-display-limit 0 "$(package)" 2>&1) || status=$?
    echo "$report"
    [ $status -ne 2 ] || fail "lintian could not check the package"
    [ $status -eq 0 ] && ! grep -q '^E: ' <<<"$report" || fail "lintian reports errors"
}

install() {
    local deb line
    deb=$(package)
    # A package left by an earlier run would make apt keep the old files.
    if dpkg-query -W -f='${Status}' kestrova-bridge 2>/dev/null | grep -q 'ok installed'; then
        apt_noninteractive "apt-get remove kestrova-bridge" >/dev/null
    fi
    line=$(readme_command "apt-get install ")
    (cd "$KESTROVA_SOURCE_DIR" && apt_noninteractive "$line") >/dev/null || fail "«$line» failed"
    [ "$(dpkg-query -W -f='${Version}' kestrova-bridge)" = "$(dpkg-deb -f "$deb" Version)" ] ||
        fail "the installed version is not the built one"
    echo "installed: $(dpkg-query -W -f='${Package} ${Version}' kestrova-bridge)"
}

selftest() {
    local line output
    line=$(readme_command "kestrova-bridge --self-test")
    [ "$(cd / && PATH=$SYSTEM_PATH command -v kestrova-bridge)" = /usr/bin/kestrova-bridge ] ||
        fail "kestrova-bridge is not found on PATH"
    output=$(cd / && PATH=$SYSTEM_PATH bash -c "$line")
    [ "$output" = "Kestrova Bridge self-test: OK" ] || fail "self-test printed «$output»"
    echo "$output"
}

remove() {
    local deb line files left=()
    deb=$(package)
    line=$(readme_command "apt-get remove ")
    apt_noninteractive "$line" >/dev/null || fail "«$line» failed"
    local status
    status=$(dpkg-query -W -f='${Status}' kestrova-bridge 2>/dev/null || true)
    case "$status" in "" | *not-installed) ;; *) fail "dpkg still lists kestrova-bridge as «$status»" ;; esac
    # Every file and every folder of its own (not the shared /usr/share/…) must be gone.
    files=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^/$')
    local path
    while read -r path; do
        if [ -d "$path" ]; then
            case "$path" in */kestrova-bridge|*/org.kestrova.*) left+=("$path") ;; esac
        elif [ -e "$path" ] || [ -L "$path" ]; then
            left+=("$path")
        fi
    done <<<"$files"
    [ ${#left[@]} -eq 0 ] || fail "left behind: ${left[*]}"
    echo "removed: none of its $(wc -l <<<"$files") paths is left"
}

case "$step" in
    build) build "$3" ;;
    lint) lint ;;
    install) install ;;
    selftest) selftest ;;
    remove) remove ;;
    *) fail "unknown step $step" ;;
esac
