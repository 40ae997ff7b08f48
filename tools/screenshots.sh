#!/usr/bin/env bash
# Takes the README's screenshots of the real program on a virtual X display:
# the main window collecting from the demo's three simulated balances, the live
# readings after one of them was unplugged and plugged back in, the Settings
# dialog and the export dialog.
#
#   tools/screenshots.sh BUILD_DIR OUT_DIR     (./dev.sh screenshots calls it)
#
# Needs Xvfb, xdotool, xwd (x11-apps) and ImageMagick's convert.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: tools/screenshots.sh BUILD_DIR OUT_DIR}" && pwd)
out=$(mkdir -p "${2:?usage: tools/screenshots.sh BUILD_DIR OUT_DIR}" && cd "$2" && pwd)
work=$(mktemp -d)

display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
demo=
# The script's own status is kept: what the demo or Xvfb say when stopped is not it.
finish() {
    local status=$?
    if [ -n "$demo" ]; then kill "$demo" 2>/dev/null && wait "$demo" 2>/dev/null || true; fi
    kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null || true
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb

# An existing, empty table spares the first-start box.
mkdir -p "$work/demo"
/usr/bin/python3 -c 'import sqlite3, sys; sqlite3.connect(sys.argv[1]).execute(
    "CREATE TABLE data(sampling_date date, sampling_time time, instrument_id varchar, "
    "header varchar, result varchar, unit varchar);")' "$work/demo/sqlite.db"

"$ROOT/tools/demo.sh" "$build" "$work/demo" >"$work/demo.log" 2>&1 &
demo=$!

# shot WINDOW NAME: the window's pixels as a small PNG in OUT_DIR
shot() {
    xwd -silent -id "$1" | convert xwd:- -strip -colors 96 "png8:$out/$2.png"
    echo "$out/$2.png: $(stat -c %s "$out/$2.png") bytes"
}

main=$(xdotool search --sync --onlyvisible --name '^Veltrano$' | head -1)
xdotool windowmove "$main" 0 0 windowsize --sync "$main" 560 330
xdotool windowfocus --sync "$main"
xdotool key --window "$main" alt+s           # Start
# answer_boxes N: for N quarter seconds, answer every "Critical" box
answer_boxes() {
    for _ in $(seq "$1"); do
        box=$(xdotool search --onlyvisible --name '^Critical$' 2>/dev/null | head -1 || true)
        if [ -n "$box" ]; then
            xdotool windowfocus --sync "$box" key Return
        fi
        sleep 0.25
    done
}
# A simulated balance cannot take 7 data bits: answer the boxes saying so.
answer_boxes 40
xdotool windowfocus --sync "$main"
sleep 4                                       # rows of both balances come in
xdotool mousemove --window "$main" 60 120 click 1   # select a row
sleep 1.5
shot "$main" mainwindow

xdotool key --window "$main" alt+d l         # Data > Live readings
live=$(xdotool search --sync --onlyvisible --name '^Live readings$' | head -1)
xdotool windowmove "$live" 0 0 windowsize --sync "$live" 760 520
kill -USR1 "$(cat "$work/demo/demo.pid")"     # unplug Demo Basic ...
answer_boxes 24                               # ... which is told once
kill -USR1 "$(cat "$work/demo/demo.pid")"     # plug it back in
sleep 8
shot "$live" livereadings
xdotool windowfocus --sync "$main"

xdotool key --window "$main" alt+t           # Stop
sleep 0.5
xdotool key --window "$main" alt+f s         # File > Settings
settings=$(xdotool search --sync --onlyvisible --name '^Beállítások$' | head -1)
sleep 0.5
shot "$settings" settings
xdotool windowfocus --sync "$settings" key Escape 2>/dev/null || xdotool key Escape
sleep 0.5
xdotool windowfocus --sync "$main"
xdotool key --window "$main" alt+d e         # Data > Export...
export_dialog=$(timeout 20 xdotool search --sync --onlyvisible --name '^Export data$' | head -1)
sleep 0.5
shot "$export_dialog" exportdialog
# Keys that close their window go to the focused window (XTEST), not to the
# window by id: its key release would be sent to a window already gone, which
# X answers with BadWindow and xdotool with an error.
xdotool windowfocus --sync "$export_dialog" key Escape
sleep 0.5
xdotool windowfocus --sync "$main" key alt+f q      # File > Quit
wait "$demo" || true
demo=
