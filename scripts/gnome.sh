# A headless GNOME Shell for the tests of the GNOME provider, on the runtime directory and PipeWire of servers.sh
# but with a session bus of its own, so that the tray watcher of its AppIndicator extension meets no other test.
# Sourced after servers_start. gnome_start enables the project's extension (from build/), the AppIndicator
# extension and the tests' indicator extension before the shell starts, and exports KESTROVA_GNOME_SOCKET and
# KESTROVA_GNOME_BUS (not WAYLAND_DISPLAY and DBUS_SESSION_BUS_ADDRESS, so that the other tests keep theirs);
# gnome_stop ends it by PID. It draws into shared memory without a GPU.

GNOME_PIDS=()
GNOME_ROOT=
GNOME_EXTENSION=kestrova-bridge@kestrova.org
GNOME_APPINDICATOR=ubuntu-appindicators@ubuntu.com
# The tests' stand-in for a user's hand on the screen-sharing indicator.
GNOME_TEST_INDICATOR=kestrova-test-indicator@kestrova.org

# Starts a dbus-daemon on the socket, its PID in GNOME_PIDS (so not in a subshell). It starts no services on demand:
# those the shell would have started (the document portal, which mounts itself in the runtime directory, the
# accessibility bus) outlive the lab.
gnome_bus() {
  local socket=$1
  cat >"$socket.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:path=$socket</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  dbus-daemon --config-file="$socket.conf" --nofork --nopidfile >/dev/null 2>&1 &
  GNOME_PIDS+=($!)
  for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done
  [ -S "$socket" ] || { echo "gnome: dbus-daemon did not start" >&2; return 1; }
}

gnome_start() {
  local here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  GNOME_ROOT="$KESTROVA_RUNTIME/gnome"
  mkdir -p "$GNOME_ROOT"/{home,config/glib-2.0/settings,data/gnome-shell/extensions,cache}
  # The extension as the build makes it for this machine's Shell 43.
  ln -sfn "$here/build/data/gnome-shell/legacy/$GNOME_EXTENSION" \
    "$GNOME_ROOT/data/gnome-shell/extensions/$GNOME_EXTENSION"
  ln -sfn "$here/tests/gnome/$GNOME_TEST_INDICATOR" "$GNOME_ROOT/data/gnome-shell/extensions/$GNOME_TEST_INDICATOR"
  # The keyfile settings back-end, read by the shell at start: no dconf service needed.
  cat >"$GNOME_ROOT/config/glib-2.0/settings/keyfile" <<KEYS
[org/gnome/shell]
enabled-extensions=['$GNOME_EXTENSION', '$GNOME_APPINDICATOR', '$GNOME_TEST_INDICATOR']
disable-user-extensions=false
KEYS
  local bus="unix:path=$GNOME_ROOT/bus" system="unix:path=$GNOME_ROOT/system-bus"
  gnome_bus "$GNOME_ROOT/bus" || return 1
  # Where seats exist the shell insists on a system bus; an empty one is enough.
  gnome_bus "$GNOME_ROOT/system-bus" || return 1

  local socket="kestrova-gnome-$$"
  env -u DISPLAY -u WAYLAND_DISPLAY HOME="$GNOME_ROOT/home" XDG_CONFIG_HOME="$GNOME_ROOT/config" \
    XDG_DATA_HOME="$GNOME_ROOT/data" XDG_CACHE_HOME="$GNOME_ROOT/cache" GSETTINGS_BACKEND=keyfile \
    XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME DBUS_SESSION_BUS_ADDRESS="$bus" \
    DBUS_SYSTEM_BUS_ADDRESS="$system" \
    gnome-shell --headless --wayland --no-x11 --wayland-display="$socket" --virtual-monitor 1280x800 \
    >"$KESTROVA_RUNTIME/gnome-shell.log" 2>&1 &
  local shell=$!
  GNOME_PIDS+=("$shell")
  # Shell 43 may segfault when it is ended, which is no failure of the run: its end is not reported.
  disown "$shell"

  # Up once our extension owns its name on the shell's bus.
  for _ in $(seq 400); do
    DBUS_SESSION_BUS_ADDRESS="$bus" dbus-send --session --print-reply --dest=org.freedesktop.DBus \
      /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner string:org.kestrova.Bridge 2>/dev/null |
      grep -q 'boolean true' && break
    kill -0 "$shell" 2>/dev/null || break
    sleep 0.05
  done
  if ! [ -S "$XDG_RUNTIME_DIR/$socket" ] || ! kill -0 "$shell" 2>/dev/null; then
    echo "gnome: gnome-shell did not start (see $KESTROVA_RUNTIME/gnome-shell.log)" >&2
    return 1
  fi
  export KESTROVA_GNOME_SOCKET="$socket" KESTROVA_GNOME_BUS="$bus"
  echo "gnome: socket $socket, $(gnome-shell --version)"
}

gnome_stop() {
  local pid
  # The shell before the buses it uses.
  for pid in $(printf '%s\n' "${GNOME_PIDS[@]}" | tac); do
    kill "$pid" 2>/dev/null
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$pid" 2>/dev/null
    { wait "$pid"; } 2>/dev/null
  done
  GNOME_PIDS=()
  unset KESTROVA_GNOME_SOCKET KESTROVA_GNOME_BUS
  return 0
}
