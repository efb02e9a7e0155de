#!/usr/bin/env bash
# Takes the README's screenshot of the panel: a private X server, the panel on the simulated
# projector (no serial device is touched), a capture of its window.
# usage: tools/screenshot.sh [BUILD_DIR] [OUTPUT_PNG]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
out=${2:-$here/docs/screenshot.png}
for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing" >&2; exit 1; }
done

tmp=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$tmp"' EXIT
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$tmp/display" 2>/dev/null &
while [ ! -s "$tmp/display" ]; do sleep 0.05; done
export DISPLAY=:$(cat "$tmp/display")

# The simulated projector stands in for the real one.
"$build/tools/tolvane-projector" --link "$tmp/port" >/dev/null &
while [ ! -L "$tmp/port" ]; do sleep 0.05; done

TOLVANE_COM1=$tmp/port TOLVANE_COM2=$tmp/none TOLVANE_COM3=$tmp/none TOLVANE_COM4=$tmp/none \
    "$build/app/tolvane" &
window=$(xdotool search --sync --onlyvisible --name '^Tolvane$' | head -n 1)
sleep 0.3  # let the first paint finish
mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "screenshot: $out"
