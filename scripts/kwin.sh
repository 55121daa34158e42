# A headless KWin for the tests of the Wayland provider, on the runtime directory and session bus of servers.sh.
# Sourced after servers_start; kwin_start exports KESTROVA_KWIN_SOCKET (not WAYLAND_DISPLAY, so that the other
# tests keep to X11), kwin_stop ends it by PID. It renders with llvmpipe: idle it costs nothing, drawing is slow.
# By default any client may bind the restricted interfaces; `kwin_start --permission-checks` keeps KWin's own rule
# (only programs whose installed .desktop entry names them), with a service cache of its own that KWin builds itself.

KWIN_PID=

kwin_start() {
  # Exec of a binary with file capabilities is refused inside some containers; KWin only uses its capability to
  # raise its own scheduling priority.
  if ! kwin_wayland --version >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v setcap >/dev/null; then
      setcap -r "$(command -v kwin_wayland)" || return 1
    else
      echo "kwin: kwin_wayland cannot be run here" >&2
      return 1
    fi
  fi
  local socket="kestrova-kwin-$$"
  local checks=(KWIN_WAYLAND_NO_PERMISSION_CHECKS=1)
  [ "${1:-}" = --permission-checks ] && checks=(XDG_CACHE_HOME="$KESTROVA_RUNTIME/kwin-cache")
  # No X display, no Xwayland: the compositor's own windows are Wayland ones.
  env -u DISPLAY -u KWIN_WAYLAND_NO_PERMISSION_CHECKS "${checks[@]}" \
    kwin_wayland --virtual --no-lockscreen --socket "$socket" --width 1280 --height 800 \
    >"$KESTROVA_RUNTIME/kwin.log" 2>&1 &
  KWIN_PID=$!
  local i
  for i in $(seq 200); do
    [ -S "$XDG_RUNTIME_DIR/$socket" ] && break
    kill -0 "$KWIN_PID" 2>/dev/null || break
    sleep 0.05
  done
  [ -S "$XDG_RUNTIME_DIR/$socket" ] || { echo "kwin: kwin_wayland did not start" >&2; return 1; }
  export KESTROVA_KWIN_SOCKET="$socket"
  echo "kwin: socket $socket"
}

kwin_stop() {
  [ -n "$KWIN_PID" ] || return 0
  kill "$KWIN_PID" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$KWIN_PID" 2>/dev/null || break; sleep 0.05; done
  # Also called from EXIT traps under set -e: the process being gone already is no failure.
  kill -9 "$KWIN_PID" 2>/dev/null || true
  wait "$KWIN_PID" 2>/dev/null || true
  KWIN_PID=
  unset KESTROVA_KWIN_SOCKET
  return 0
}
