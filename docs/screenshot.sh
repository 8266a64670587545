#!/usr/bin/env bash
# Takes docs/corvane.png: both windows of corvane on a virtual X server, with a 3 GiB file
# on its way from the sender window to the receiver window, the time left shown and the Cancel
# buttons ready. Needs the Debian packages xvfb, xdotool and imagemagick (for its import
# command), and a built tree.
# Usage: docs/screenshot.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
# A fixed folder, so the picture shows the same paths each time.
work=${TMPDIR:-/tmp}/corvane-screenshot
rm -rf "$work"
display=:$((100 + RANDOM % 400))
Xvfb "$display" -screen 0 1000x560x24 -nolisten tcp &
xvfb=$!
corvane=
cleanup() {
    [[ -n $corvane ]] && kill "$corvane" 2>/dev/null
    kill "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=$display
# The windows remember the host, chunk size and folder: here, not in the user's settings.
export XDG_CONFIG_HOME=$work/config

# The id of the program's visible window titled $1, once there is one.
window() {
    for _ in $(seq 100); do
        for id in $(xdotool search --onlyvisible --class corvane 2>/dev/null); do
            [[ $(xdotool getwindowname "$id") == "$1" ]] && echo "$id" && return
        done
        sleep 0.1
    done
    echo "no window \"$1\" appeared" >&2
    exit 1
}

mkdir -p "$work/Videos" "$work/Inbox"
truncate -s 3G "$work/Videos/holiday-video.mkv"
sleep 1
"$build/demo/corvane" &
corvane=$!
window "Receiver Form" >/dev/null

# Places in pixels of the sender window, which stands at the screen's top left.
xdotool mousemove 92 25 click 1 # cmdConnect
sleep 1
xdotool mousemove 344 121 click 1 # cmdBrowse
xdotool windowfocus --sync "$(window Open)" type --delay 2 "$work/Videos/holiday-video.mkv"
xdotool key Return
sleep 0.5
xdotool mousemove 272 161 click --repeat 3 1 type 65536 # txtChunkSize
xdotool mousemove 188 184 click 1                       # cmdSend
xdotool windowfocus --sync "$(window Corvane)" key Return # Yes
xdotool windowfocus --sync "$(window "Save As")" type --delay 2 "$work/Inbox/holiday-video.mkv"
xdotool key Return
sleep 5
import -window root -crop 784x441+0+0 +repage docs/corvane.png
echo "docs/corvane.png taken"
