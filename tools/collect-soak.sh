#!/bin/bash
# A long run of veltrano-collect against simulated balances, as a service
# would run it: one balance simulator process per instrument on a
# pseudo-terminal, the collector on a folder of its own, traces off.
#
#   tools/collect-soak.sh BINDIR [SECONDS] [INSTRUMENTS] [LINE_MS]
#
# BINDIR holds veltrano-collect and veltrano-balance-sim (a build's
# src/cli and src/sim are both searched). Defaults: 3600 s, 16 instruments,
# a print line every 250 ms from each balance, every one sampled each second.
# Pseudo-terminals take only 8 data bits. Every minute the collector's resident memory and processor time are
# appended to rss.log in the run's folder (kept afterwards, with the
# collector's log and database); the end compares the rows stored with the
# seconds run and exits 1 when an instrument has fewer rows than expected.
set -euo pipefail

bindir=${1:?usage: collect-soak.sh BINDIR [SECONDS] [INSTRUMENTS] [LINE_MS]}
seconds=${2:-3600}
count=${3:-16}
line_ms=${4:-250}
find_program() {
    local p
    for p in "$bindir/$1" "$bindir/src/cli/$1" "$bindir/src/sim/$1"; do
        [ -x "$p" ] && { echo "$p"; return; }
    done
    echo "no $1 in $bindir" >&2
    exit 2
}
collect=$(find_program veltrano-collect)
sim=$(find_program veltrano-balance-sim)

run=$(mktemp -d /tmp/veltrano-collect-soak-XXXXXX)
# Copies, so that a rebuild during the run does not touch the programs running.
cp "$collect" "$sim" "$run/"
cd "$run"
echo "working in $run (collector's log: collect.log, memory: rss.log)"

pids=()
collector=
cleanup() {
    [ -n "$collector" ] && kill -TERM "$collector" 2>/dev/null && wait "$collector" 2>/dev/null || true
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

makers=(sartoriusBasic sartoriusSignum mettlerToledoSics ohaus)
: > settings.ini
for ((i = 1; i <= count; i++)); do
    maker=${makers[$(((i - 1) % ${#makers[@]}))]}
    ./veltrano-balance-sim --link "$run/tty$i" --maker "$maker" --interval "$line_ms" \
        --value $((10 * i)) --seed "$i" --split 3 --lone-lf 7 --garbage 5 \
        $([ "${maker#sartorius}" != "$maker" ] && echo --errors 11) > "sim$i.log" 2>&1 &
    pids+=($!)
    cat >> settings.ini <<EOF
[B$i]
name=Balance B$i
type=$maker
comPort=$run/tty$i
transmissionRate=9600
dataBits=8
parity=none
stopBits=1
samplingInterval=1
active=true

EOF
done
for ((i = 1; i <= count; i++)); do
    for _ in $(seq 50); do [ -e "tty$i" ] && break; sleep 0.1; done
done

./veltrano-collect --dir "$run" 2> collect.log &
collector=$!
clock_ticks=$(getconf CLK_TCK)
sample() {
    local minute=$1 rss cpu
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$collector/status")
    cpu=$(awk -v t="$clock_ticks" '{printf "%.2f", ($14 + $15) / t}' "/proc/$collector/stat")
    printf '%4d min  VmRSS %6d KiB  cpu %8s s  load %s\n' "$minute" "$rss" "$cpu" \
        "$(cut -d' ' -f1-3 /proc/loadavg)" | tee -a rss.log
}
sleep 5
sample 0
for ((minute = 1; minute * 60 <= seconds; minute++)); do
    # Waited for in the background, so that Ctrl+C or SIGTERM stop the run at once.
    sleep 60 & wait $!
    kill -0 "$collector" 2>/dev/null || { echo "the collector ended early" >&2; exit 1; }
    sample "$minute"
done
kill -TERM "$collector"
wait "$collector" || true
collector=

echo "rows per instrument (about $seconds expected each):"
short=0
for ((i = 1; i <= count; i++)); do
    rows=$(sqlite3 sqlite.db "SELECT count(*) FROM data WHERE instrument_id = 'Balance B$i'")
    printf '  B%-3d %6d\n' "$i" "$rows"
    [ "$rows" -ge $((seconds - 10)) ] || short=1
done
echo "log lines: $(wc -l < collect.log) (Warning/Critical: $(grep -c -E ' (Warning|Critical): ' collect.log || true))"
exit $short
