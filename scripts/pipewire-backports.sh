# PipeWire 1.4.2 and WirePlumber 0.5.8 from Debian's bookworm-backports, unpacked into a private prefix under the
# build tree (nothing is installed over the system's 0.3.65), and its servers for the publishing tests. Sourced
# after servers.sh. pipewire14_prepare fetches and unpacks once; pipewire14_start points every program the tests
# start at the prefix (libraries, binaries, plugins, configuration, GStreamer's pipewiresrc) and starts private
# servers as servers_start does; pipewire14_stop ends them.

PIPEWIRE14_PREFIX=
PIPEWIRE14_HOME=

# The packages and where they come from: the backports build of PipeWire and WirePlumber, and the libraries of
# bookworm that they need and the system lacks.
PIPEWIRE14_BACKPORTS=(pipewire pipewire-bin libpipewire-0.3-0 libpipewire-0.3-modules libpipewire-0.3-common
  libspa-0.2-modules gstreamer1.0-pipewire wireplumber libwireplumber-0.5-0)
PIPEWIRE14_BOOKWORM=(liblua5.4-0 libebur128-1 libfftw3-single3)

# Adds the backports suite with the same mirror and keyring as the system's sources. Backports are pinned below
# the release by their own Release file, so nothing already installed changes. Returns 0 when it added the suite,
# 1 when apt already had it, 2 when there is no mirror to copy.
pipewire14_add_suite() {
  local sources=/etc/apt/sources.list.d/debian.sources
  local target=/etc/apt/sources.list.d/bookworm-backports.sources
  grep -qs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources && return 1
  local uri keyring
  uri=$(awk '/^URIs:/ && $2 ~ /debian\/?$/ {print $2; exit}' "$sources")
  keyring=$(awk '/^Signed-By:/ {print $2; exit}' "$sources")
  if [ -z "$uri" ] || [ -z "$keyring" ]; then
    echo "pipewire14: no Debian mirror in $sources" >&2
    return 2
  fi
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: %s\n' \
    "$uri" "$keyring" >"$target"
  return 0
}

# Downloads and unpacks the packages into build/pipewire-1.4 unless a complete prefix is already there.
pipewire14_prepare() {
  local build=$1
  PIPEWIRE14_PREFIX="$build/pipewire-1.4"
  local stamp="$PIPEWIRE14_PREFIX/.unpacked"
  local wanted="${PIPEWIRE14_BACKPORTS[*]} ${PIPEWIRE14_BOOKWORM[*]}"
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ] && return 0

  pipewire14_add_suite
  case $? in
    0) apt-get -o DPkg::Lock::Timeout=600 update -qq || return 1 ;;
    1) ;;
    *) return 1 ;;
  esac
  local cache="$build/pipewire-1.4-debs"
  rm -rf "$cache" "$PIPEWIRE14_PREFIX"
  mkdir -p "$cache" "$PIPEWIRE14_PREFIX"
  local p
  (cd "$cache" &&
    apt-get download -qq -o APT::Sandbox::User=root "${PIPEWIRE14_BACKPORTS[@]/%//bookworm-backports}" "${PIPEWIRE14_BOOKWORM[@]}") || {
    echo "pipewire14: apt-get download failed" >&2
    return 1
  }
  for p in "$cache"/*.deb; do dpkg -x "$p" "$PIPEWIRE14_PREFIX" || return 1; done
  # The backports must never become the system's choice.
  if ! apt-cache policy pipewire | grep -q 'Candidate: 0\.3\.65'; then
    echo "pipewire14: the system's pipewire is no longer the candidate:" >&2
    apt-cache policy pipewire >&2
    return 1
  fi
  echo "$wanted" >"$stamp"
}

# Exports what makes every program the tests start use the prefix, then starts Xvfb, a bus and the prefix's
# PipeWire and WirePlumber through servers_start.
pipewire14_start() {
  local prefix="$PIPEWIRE14_PREFIX"
  local lib="$prefix/usr/lib/x86_64-linux-gnu"
  [ -x "$prefix/usr/bin/pipewire" ] || { echo "pipewire14: no prefix; run pipewire14_prepare" >&2; return 1; }
  PIPEWIRE14_HOME=$(mktemp -d /tmp/kestrova-pw14.XXXXXX)
  chmod 700 "$PIPEWIRE14_HOME"

  export PATH="$prefix/usr/bin:$PATH"
  export LD_LIBRARY_PATH="$lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
  export SPA_PLUGIN_DIR="$lib/spa-0.2"
  export SPA_DATA_DIR="$prefix/usr/share/spa-0.2"
  export ACP_PATHS_DIR="$prefix/usr/share/alsa-card-profile/mixer/paths"
  export ACP_PROFILES_DIR="$prefix/usr/share/alsa-card-profile/mixer/profile-sets"
  export PIPEWIRE_MODULE_DIR="$lib/pipewire-0.3"
  export PIPEWIRE_CONFIG_DIR="$prefix/usr/share/pipewire"
  export WIREPLUMBER_MODULE_DIR="$lib/wireplumber-0.5"
  export WIREPLUMBER_CONFIG_DIR="$prefix/usr/share/wireplumber"
  export WIREPLUMBER_DATA_DIR="$prefix/usr/share/wireplumber"
  export HOME="$PIPEWIRE14_HOME/home"
  export XDG_STATE_HOME="$PIPEWIRE14_HOME/state"
  export XDG_CONFIG_HOME="$PIPEWIRE14_HOME/config"
  mkdir -p "$HOME" "$XDG_STATE_HOME" "$XDG_CONFIG_HOME"

  # GStreamer: the prefix's pipewiresrc alone in one plugin directory, every other system plugin through links in
  # another, so that the system's libgstpipewire.so (0.3.65) is never scanned; a registry of its own.
  local plugins="$PIPEWIRE14_HOME/gst-pipewire" system="$PIPEWIRE14_HOME/gst-system" p
  mkdir -p "$plugins" "$system"
  ln -s "$lib/gstreamer-1.0/libgstpipewire.so" "$plugins/"
  for p in /usr/lib/x86_64-linux-gnu/gstreamer-1.0/*.so; do
    [ "$(basename "$p")" = libgstpipewire.so ] || ln -s "$p" "$system/"
  done
  export GST_PLUGIN_PATH="$plugins"
  export GST_PLUGIN_SYSTEM_PATH_1_0="$system"
  export GST_REGISTRY="$PIPEWIRE14_HOME/gst-registry.bin"

  servers_start
}

pipewire14_stop() {
  servers_stop
  [ -n "$PIPEWIRE14_HOME" ] && rm -rf "$PIPEWIRE14_HOME"
  PIPEWIRE14_HOME=
  return 0
}
