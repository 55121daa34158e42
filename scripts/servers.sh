# Private servers for the tests and the demo: Xvfb on a free display, a session bus, PipeWire and WirePlumber on a
# private runtime directory. Sourced; servers_start exports their addresses, servers_stop ends them by PID.

SERVER_PIDS=()

servers_start() {
  KESTROVA_RUNTIME=$(mktemp -d /tmp/kestrova-run.XXXXXX)
  chmod 700 "$KESTROVA_RUNTIME"
  export XDG_RUNTIME_DIR="$KESTROVA_RUNTIME"
  export KESTROVA_RUNTIME

  local fdfile="$KESTROVA_RUNTIME/display"
  Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp -noreset 3>"$fdfile" 2>"$KESTROVA_RUNTIME/xvfb.log" &
  SERVER_PIDS+=($!)
  local i
  for i in $(seq 100); do [ -s "$fdfile" ] && break; sleep 0.05; done
  [ -s "$fdfile" ] || { echo "servers: Xvfb did not start" >&2; return 1; }
  export DISPLAY=":$(head -n1 "$fdfile")"

  dbus-daemon --session --nofork --nopidfile --address="unix:path=$KESTROVA_RUNTIME/bus" \
    --print-address=4 4>"$KESTROVA_RUNTIME/bus-address" 2>"$KESTROVA_RUNTIME/dbus.log" &
  SERVER_PIDS+=($!)
  for i in $(seq 100); do [ -s "$KESTROVA_RUNTIME/bus-address" ] && break; sleep 0.05; done
  [ -s "$KESTROVA_RUNTIME/bus-address" ] || { echo "servers: dbus-daemon did not start" >&2; return 1; }
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$KESTROVA_RUNTIME/bus"

  pipewire >"$KESTROVA_RUNTIME/pipewire.log" 2>&1 &
  SERVER_PIDS+=($!)
  for i in $(seq 100); do pw-cli info 0 >/dev/null 2>&1 && break; sleep 0.05; done
  wireplumber >"$KESTROVA_RUNTIME/wireplumber.log" 2>&1 &
  SERVER_PIDS+=($!)
  for i in $(seq 100); do pw-metadata -n default 2>/dev/null | grep -q . && break; sleep 0.05; done
  pw-cli info 0 >/dev/null 2>&1 || { echo "servers: pipewire did not start" >&2; return 1; }
  echo "servers: DISPLAY=$DISPLAY bus and PipeWire under $KESTROVA_RUNTIME"
}

# Which PipeWire, WirePlumber and GStreamer pipewiresrc the programs started from here use.
servers_versions() {
  local gst
  gst=$(gst-inspect-1.0 pipewiresrc 2>/dev/null | awk '$1 == "Version" {print $2}')
  echo "versions: $(pipewire --version | tail -n1), $(wireplumber --version | tail -n1), pipewiresrc ${gst:-missing}"
}

servers_stop() {
  local pid
  for pid in "${SERVER_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${SERVER_PIDS[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  SERVER_PIDS=()
  [ -n "${KESTROVA_RUNTIME:-}" ] && rm -rf "$KESTROVA_RUNTIME"
  return 0
}
