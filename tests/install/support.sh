# Shared by the install tests (sourced): the README's own commands, bounded waits, and the processes a test
# started, stopped by PID when it ends however it ends.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The README's command that begins with $1: an indented code line or an inline `code` span, the first one found.
readme_command() {
    local found
    found=$(awk -v prefix="$1" '
        /^    / { line = $0; sub(/^ +/, "", line); if (index(line, prefix) == 1) print line; next }
        { line = $0
          while (match(line, /`[^`]+`/)) {
              code = substr(line, RSTART + 1, RLENGTH - 2)
              if (index(code, prefix) == 1) print code
              line = substr(line, RSTART + RLENGTH)
          } }' "$KESTROVA_SOURCE_DIR/README.md" | head -n1)
    [ -n "$found" ] || fail "the README has no command beginning with «$1»"
    printf '%s\n' "$found"
}

# Polls a condition (a command) every 50 ms, for at most $1 seconds.
wait_for() {
    local bound=$1 i
    shift
    for ((i = 0; i < bound * 20; i++)); do
        "$@" && return 0
        sleep 0.05
    done
    "$@"
}

# apt-get as in the README, answered yes without a terminal, waiting for other installs' lock.
apt_noninteractive() {
    local config
    config=$(mktemp)
    printf 'APT::Get::Assume-Yes "true";\nDPkg::Lock::Timeout "600";\n' >"$config"
    local status=0
    DEBIAN_FRONTEND=noninteractive APT_CONFIG="$config" bash -c "$1" || status=$?
    rm -f "$config"
    return $status
}

# What a session's PATH holds, not the build tree.
SYSTEM_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

STARTED_PIDS=()
start_tracked() {
    "$@" &
    STARTED_PIDS+=($!)
}

# Runs from EXIT traps: whatever fails here, the rest still has to be stopped.
stop_tracked() {
    local pid
    for pid in "${STARTED_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${STARTED_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    STARTED_PIDS=()
}

# Starts the Exec line of the desktop entry $1 as a launcher does (field codes dropped, the rest split into words:
# the entry uses no quoting), from / on a session PATH, with the environment assignments that follow; its output goes
# to $KESTROVA_RUNTIME/bridge.log and its PID into LAUNCHED.
launch_entry() {
    local entry=$1 exec_line command
    shift
    exec_line=$(sed -n 's/^Exec=//p' "$entry" | sed 's/ *%[fFuUdDnNickvm]//g')
    [ -n "$exec_line" ] || fail "the entry has no Exec line"
    read -r -a command <<<"$exec_line"
    (cd / && PATH=$SYSTEM_PATH exec env "$@" "${command[@]}") >"$KESTROVA_RUNTIME/bridge.log" 2>&1 &
    LAUNCHED=$!
    STARTED_PIDS+=("$LAUNCHED")
}

# The item's menu, printed once its first line begins with $1 (after start_private_desktop).
menu() { "$SNI_MENU" show --until "$1" --timeout 30; }

# Chooses «Salir» in the item's menu; the program with PID $1 must then end with status 0.
quit_from_menu() {
    local pid=$1 status=0
    "$SNI_MENU" click "Salir" >/dev/null || fail "«Salir» could not be chosen"
    exited() { ! kill -0 "$pid" 2>/dev/null; }
    wait_for 30 exited || fail "the program did not end after «Salir»"
    wait "$pid" || status=$?
    [ $status -eq 0 ] || fail "the program ended with status $status after «Salir»"
}

# The desktop entry the package installs; start_package_desktop BUILD_DIR starts a private desktop for it.
PACKAGE_ENTRY=/usr/share/applications/org.kestrova.KestrovaBridge.desktop
start_package_desktop() {
    [ -f "$PACKAGE_ENTRY" ] || fail "the package's desktop entry is not installed"
    start_private_desktop "$1"
}

# A desktop of the test's own: private Xvfb, session bus and PipeWire (scripts/servers.sh), the test tray watcher
# and, for menu, its menu reader from BUILD_DIR. It and everything started through start_tracked end with the test,
# however it ends.
start_private_desktop() {
    source "$KESTROVA_SOURCE_DIR/scripts/servers.sh"
    trap stop_private_desktop EXIT
    SNI_MENU=$1/sni-menu
    servers_start >/dev/null || fail "the private servers did not start"
    start_tracked "$1/sni-watcher" >"$KESTROVA_RUNTIME/watcher.log" 2>&1
}

stop_private_desktop() {
    set +e
    stop_tracked
    servers_stop
}
