#!/usr/bin/env bash
# Drives the real Kestrel window on an X display without a user: with the simulated camera's
# address, port, user and password already filled in from the settings, presses Connect, then
# Start, steers the camera, and saves screenshots.
# Usage: drive-window.sh KESTREL_BINARY   (run under xvfb-run)
set -euo pipefail
kestrel=$1
shots=build/screenshots
mkdir -p "$shots"
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}

"$kestrel" &
app=$!
trap 'kill "$app" 2>/dev/null || true' EXIT

window=$(xdotool search --sync --onlyvisible --name '^Kestrel by Pellworth$' | head -n 1)
# Without a window manager nothing gives the window the keyboard; take it ourselves.
xdotool windowfocus --sync "$window"
sleep 0.5

xdotool mousemove --window "$window" 212 46 click 1   # Connect
sleep 1.5

import -window "$window" "$shots/kestrel-connected.png"
echo "Screenshot of the connected window: $shots/kestrel-connected.png"

xdotool mousemove --window "$window" 56 286 click 1    # Start
sleep 3
import -window "$window" "$shots/kestrel-streaming.png"
echo "Screenshot of the live picture: $shots/kestrel-streaming.png"

# Steer the camera: two steps right, light on, a brighter picture, the large stream size.
xdotool mousemove --window "$window" 350 51 click 1 sleep 0.3 click 1
xdotool mousemove --window "$window" 412 39 click 1
xdotool mousemove --window "$window" 90 230 click 1 sleep 0.3 click 1
xdotool mousemove --window "$window" 59 178 click 1
sleep 2
import -window "$window" "$shots/kestrel-commands.png"
echo "Screenshot after steering the camera: $shots/kestrel-commands.png"
