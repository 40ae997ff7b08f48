#!/usr/bin/env bash
# The demo: three simulated balances, one per Sartorius print-line layout and
# a Mettler-Toledo, and Veltrano collecting from them, all in a folder of
# their own.
#
#   tools/demo.sh BUILD_DIR [DEMO_DIR]     (./dev.sh run --demo calls it)
#
# Only DEMO_DIR (default ./demo) is written to: its settings.ini is written
# afresh at every run, its sqlite.db keeps the rows of earlier runs. The
# simulated balances end when Veltrano ends.
#
# SIGUSR1 to the demo (its process id is in DEMO_DIR/demo.pid) unplugs the
# 16-character balance, the next one plugs it back in on the same link:
#   kill -USR1 $(cat demo/demo.pid)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: tools/demo.sh BUILD_DIR [DEMO_DIR]}" && pwd)
demo=${2:-$ROOT/demo}
simulator=$build/src/sim/veltrano-balance-sim
program=$build/src/app/veltrano

mkdir -p "$demo/ico"
cd "$demo"
cp -f "$ROOT/ico/scale-32.ico" ico/

# One demo per folder at a time: both would use the same links and settings.
exec 9>.demo.lock
if ! flock -n 9; then
    echo "The demo is already running in $demo." >&2
    exit 1
fi

simulators=()
stop_simulators() {
    rm -f demo.pid
    if [ ${#simulators[@]} -gt 0 ]; then
        kill "${simulators[@]}" 2>/dev/null || true
        wait "${simulators[@]}" 2>/dev/null || true
    fi
}
trap stop_simulators EXIT
trap 'exit 130' INT TERM

# simulate LINK OPTION...: a balance on a pseudo-terminal reached through ./LINK
simulate() {
    local link=$1
    shift
    rm -f "$link"
    "$simulator" --link "$link" "$@" >/dev/null 9>&- &
    simulators+=($!)
}
simulate_basic() {
    simulate balance-16 --layout 16 --interval 500 --value 12.5 --drift 0.004 --decimals 4 --seed 16
    basic=$!
}
# Unplugs the 16-character balance when it runs, else plugs it back in.
replug() {
    if [ -n "$basic" ] && kill -0 "$basic" 2>/dev/null; then
        kill "$basic" && wait "$basic" 2>/dev/null || true
        basic=
        echo "Demo Basic unplugged; Veltrano tries its port every 2 seconds."
    else
        simulate_basic
        echo "Demo Basic plugged back in on ./balance-16."
    fi
}
basic=
simulate_basic
simulate balance-22 --layout 22 --interval 700 --value 250 --drift 0.3 --decimals 2 --header N --seed 22
# MT-SICS lines on 8 data bits without parity; every 10th comes after noise
# bytes and is skipped, as the live window's received lines show.
simulate balance-mt --maker mettlerToledoSics --interval 600 --value 850.2 --drift 0.4 --decimals 1 --unit mg \
    --garbage 10 --seed 7

for _ in $(seq 50); do
    [ -e balance-16 ] && [ -e balance-22 ] && [ -e balance-mt ] && break
    sleep 0.1
done
if ! [ -e balance-16 ] || ! [ -e balance-22 ] || ! [ -e balance-mt ]; then
    echo "The simulated balances did not start." >&2
    exit 1
fi

# The port names are relative to this folder, which Veltrano runs in.
cat > settings.ini <<'INI'
[basic16]
active=true
type=sartoriusBasic
name=Demo Basic
comPort=./balance-16
samplingInterval=1
transmissionRate=9600
parity=odd
stopBits=1
dataOutputFormat=16

[signum22]
active=true
type=sartoriusSignum
name=Demo Signum
comPort=./balance-22
samplingInterval=2
transmissionRate=1200
parity=odd
stopBits=1
dataOutputFormat=22

[mettler]
active=true
type=mettlerToledoSics
name=Demo Mettler-Toledo
comPort=./balance-mt
samplingInterval=2
transmissionRate=9600
dataBits=8
parity=none
stopBits=1
dataOutputFormat=
INI

echo "Demo in $demo: press Start in the Veltrano window."
echo "A simulated balance has no real serial line, so Start reports \"cannot set data bits\""
echo "for the two Sartorius ones, which use 7 (answer OK); the rows come in all the same."
echo "Data > Live readings shows the three balances. To unplug Demo Basic and plug it back in:"
echo "  kill -USR1 \$(cat '$demo/demo.pid')"
# The program runs in the background so that the signal is handled at once;
# it keeps the demo's standard input.
"$program" 9>&- <&0 &
program_pid=$!
echo $$ > demo.pid
trap replug USR1
status=0
while kill -0 "$program_pid" 2>/dev/null; do
    wait "$program_pid" && status=0 || status=$?
done
exit "$status"
