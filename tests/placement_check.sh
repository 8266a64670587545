#!/usr/bin/env bash
# Runs corvane ($1) under Xvfb and openbox (margins shrink the work area). Where the frames stay:
# the sender's at the work area's top left, the receiver's right beside it, tops level. Its
# ports may be taken: the receiver window says so, which moves nothing.
set -uo pipefail
program=$1 tools=(Xvfb openbox xdpyinfo xprop xwininfo xdotool)
type -P "${tools[@]}" >/dev/null || { echo "skipped: needs ${tools[*]}"; exit 77; }
scratch=$(mktemp -d) pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$scratch"' EXIT
n=90; while [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
export DISPLAY=:$n QT_QPA_PLATFORM=xcb
until_true() { for _ in {1..100}; do "$@" && return 0; sleep 0.1; done; return 1; }
workarea() { xprop -root _NET_WORKAREA | cut -s -d= -f2 | tr -d , | grep .; }

# -noreset: the server must not restart when the probing xdpyinfo disconnects.
Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp -noreset &>/dev/null & pids+=($!)
until_true xdpyinfo &>/dev/null || { echo "Xvfb did not start on $DISPLAY"; exit 1; }
echo '<openbox_config xmlns="http://openbox.org/3.4/rc"><margins><top>30</top><left>20</left>
    </margins></openbox_config>' >"$scratch/rc.xml"
openbox --config-file "$scratch/rc.xml" &>"$scratch/openbox.log" & pids+=($!)
until_true workarea >/dev/null || { echo "no openbox: $(<"$scratch/openbox.log")"; exit 1; }
read -r areaX areaY _ < <(workarea)
HOME=$scratch "$program" & pids+=($!) # settings of its own

# "x y width" of the frame of the window titled $1: its client area and _NET_FRAME_EXTENTS.
frame() {
    local id left right top x y w
    id=$(xdotool search --name "^$1\$" | head -n1) && [[ -n $id ]] || return 1
    IFS=', ' read -r left right top _ < <(xprop -id "$id" _NET_FRAME_EXTENTS | cut -s -d= -f2)
    read -r x y w < <(xwininfo -id "$id" | awk '/Absolute|Width:/ { printf "%s ", $NF }')
    [[ -n $top && -n $w ]] && echo $((x - left)) $((y - top)) $((w + left + right))
}
placed() {
    read -r sx sy sw < <(frame "Sender Form") && read -r rx ry _ < <(frame "Receiver Form") &&
        [[ $sx == "$areaX" && $sy == "$areaY" && $rx == $((sx + sw)) && $ry == "$sy" ]]
}
# The window manager frames and moves the windows a few times; what counts is where they stay.
until_true placed && sleep 0.5 && placed
status=$?
echo "work area $areaX,$areaY; frames: $(frame "Sender Form"); $(frame "Receiver Form")"
exit $status
