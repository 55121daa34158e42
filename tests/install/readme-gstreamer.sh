#!/usr/bin/env bash
# The README's GStreamer line, pasted as it is, against the demo desktop on private servers: the companion's one
# window, the bridge transmitting it, and GStreamer's own sink rendering what pipewiresrc receives.
#   readme-gstreamer.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/support.sh"
build=$1
start_private_desktop "$build"
start_tracked "$build/kestrova-output-demo" Demo </dev/null >/dev/null 2>&1
start_tracked "$build/kestrova-bridge" >/dev/null 2>&1
menu "Transmitiendo como Kestrova Bridge" >/dev/null ||
    fail "the bridge did not start transmitting"

line=$(readme_command "gst-launch-1.0 ")
echo "README: $line"
# basesink logs each buffer it hands to the video sink as "rendering object".
log="$KESTROVA_RUNTIME/gstreamer.log"
export GST_DEBUG=basesink:5 GST_DEBUG_NO_COLOR=1 GST_DEBUG_FILE="$log"
start_tracked bash -c "exec $line" >"$KESTROVA_RUNTIME/gstreamer.out" 2>&1
frames() {
    local count
    count=$(grep -c 'rendering object' "$log" 2>/dev/null)
    echo "${count:-0}"
}
rendered() { [ "$(frames)" -ge 30 ]; }
wait_for 30 rendered || fail "GStreamer rendered $(frames) frames: $(cat "$KESTROVA_RUNTIME/gstreamer.out")"
echo "gstreamer: $(frames) frames rendered"
