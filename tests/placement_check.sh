#!/usr/bin/env bash
# Starts the two windows under Xvfb with a real window manager (openbox, with margins that
# shrink the work area) and checks where it framed them: the sender's frame at the top left of
# the work area, the receiver's frame touching its right edge, top edges level.
# Usage: placement_check.sh PROBE_PROGRAM
set -uo pipefail
probe=$1
for tool in Xvfb openbox xdpyinfo xprop xwininfo xdotool; do
    command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
scratch=$(mktemp -d) pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$scratch"' EXIT
n=90; while [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
export DISPLAY=:$n QT_QPA_PLATFORM=xcb
until_true() { for _ in {1..100}; do "$@" && return 0; sleep 0.1; done; return 1; }
workarea() { xprop -root _NET_WORKAREA | cut -s -d= -f2 | tr -d ,; }
managed() { [[ -n $(workarea) ]]; }

# -noreset: the server must not restart when the probing xdpyinfo disconnects.
Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp -noreset &>/dev/null & pids+=($!)
until_true xdpyinfo &>/dev/null || { echo "Xvfb did not start on $DISPLAY"; exit 1; }
echo '<openbox_config xmlns="http://openbox.org/3.4/rc"><margins><top>30</top><left>20</left>
    </margins></openbox_config>' >"$scratch/rc.xml"
openbox --config-file "$scratch/rc.xml" &>"$scratch/openbox.log" & pids+=($!)
until_true managed || { echo "openbox did not start"; cat "$scratch/openbox.log"; exit 1; }
read -r areaX areaY _ < <(workarea)
"$probe" &>"$scratch/probe.log" & pids+=($!)

# "x y width" of the frame of the window titled $1: its client area and _NET_FRAME_EXTENTS.
frame() {
    local id left right top
    id=$(xdotool search --name "^$1\$" | head -n1) && [[ -n $id ]] || return 1
    IFS=', ' read -r left right top _ < <(xprop -id "$id" _NET_FRAME_EXTENTS | cut -s -d= -f2)
    [[ -n $top ]] && xwininfo -id "$id" | awk -v l="$left" -v r="$right" -v t="$top" '
        /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
        /Width:/ { w = $NF } END { print x - l, y - t, w + l + r }'
}
placed() {
    read -r sx sy sw < <(frame "Sender Form") && read -r rx ry _ < <(frame "Receiver Form") &&
        [[ $sx == "$areaX" && $sy == "$areaY" && $rx == $((sx + sw)) && $ry == "$sy" ]]
}
# The window manager frames and moves the windows a few times; what counts is where they stay.
if until_true placed && sleep 0.5 && placed; then
    echo "sender frame at $sx,$sy width $sw; receiver frame at $rx,$ry"
    exit 0
fi
echo "work area at $areaX,$areaY; sender frame: $(frame "Sender Form");" \
    "receiver frame: $(frame "Receiver Form")"
cat "$scratch/probe.log"
exit 1
