#!/usr/bin/env bash
# Builds, runs and tests Veltrano on Debian 12 or Ubuntu.
#
#   ./dev.sh run [DIR]   install what is missing, build, start the program in DIR (default: ./data)
#   ./dev.sh run --demo  the same with two simulated balances, in ./demo
#   ./dev.sh test        install what is missing, build, run every test
#   ./dev.sh screenshots take the README's screenshots again (docs/*.png)
#   ./dev.sh bench [ARGS] install what is missing, build (Release), run the benchmarks
#
# Builds go to ./build (./build-* for the other kinds of build).
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD

# Debian packages the build, the program and the tests need.
PACKAGES=(cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite
          libqt5serialport5-dev python3 python3-xlrd python3-olefile
          desktop-file-utils)
# Only for taking the README's screenshots.
SCREENSHOT_PACKAGES=(xvfb xdotool x11-apps imagemagick fonts-dejavu-core)

# Only the benchmarks need these.
BENCH_PACKAGES=(libbenchmark-dev)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
    fi
}

jobs() { nproc 2>/dev/null || echo 2; }

build() {  # build DIR [cmake options...]
    local dir=$1; shift
    cmake -S "$ROOT" -B "$dir" "$@"
    cmake --build "$dir" -j"$(jobs)"
}

cmd_run() {
    install_packages "${PACKAGES[@]}"
    build "$ROOT/build"
    if [ "${1:-}" = --demo ]; then
        exec "$ROOT/tools/demo.sh" "$ROOT/build"
    fi
    local data=${1:-$ROOT/data}
    mkdir -p "$data/ico"
    cp -f "$ROOT/ico/scale-32.ico" "$data/ico/"
    cd "$data"
    exec "$ROOT/build/src/app/veltrano"
}

cmd_test() {
    install_packages "${PACKAGES[@]}"
    build "$ROOT/build"
    (cd "$ROOT/build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure)
}

cmd_screenshots() {
    install_packages "${PACKAGES[@]}" "${SCREENSHOT_PACKAGES[@]}"
    build "$ROOT/build"
    "$ROOT/tools/screenshots.sh" "$ROOT/build" "$ROOT/docs"
}

cmd_bench() {
    install_packages "${PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
    build "$ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release -DVELTRANO_BUILD_BENCHMARKS=ON -DVELTRANO_BUILD_TESTS=OFF
    # The code under test writes its diagnostics to build-bench/bench-diagnostics.log.
    cd "$ROOT/build-bench"
    exec ./bench/veltrano-bench "$@"
}

case "${1:-}" in
    run) shift; cmd_run "$@" ;;
    test) shift; cmd_test "$@" ;;
    screenshots) shift; cmd_screenshots "$@" ;;
    bench) shift; cmd_bench "$@" ;;
    *) sed -n '2,11p' "$0"; exit 2 ;;
esac
