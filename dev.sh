#!/usr/bin/env bash
# Builds, runs and tests Veltrano on Debian 12 or Ubuntu.
#
#   ./dev.sh run [DIR]   install what is missing, build, start the program in DIR (default: ./data)
#   ./dev.sh run --demo  the same with three simulated balances, in ./demo
#   ./dev.sh test        install what is missing, build, run every test
#   ./dev.sh qt6         the same with Qt 6 instead of Qt 5 (./build-qt6)
#   ./dev.sh screenshots take the README's screenshots again (docs/*.png)
#   ./dev.sh bench [ARGS] install what is missing, build (Release), run the benchmarks
#   ./dev.sh sanitize    the whole test suite built with AddressSanitizer and
#                        UndefinedBehaviorSanitizer (./build-asan); any finding fails
#   ./dev.sh fuzz [SECS] build the libFuzzer targets with clang (./build-fuzz) and run
#                        each for SECS seconds (default 30); a crash fails
#   ./dev.sh package     build veltrano_VERSION_ARCH.deb (./build-package) and check it
#                        with lintian
#   ./dev.sh install-check  install that package with apt and start each program
#   ./dev.sh ci          test, qt6, package, install-check, sanitize and fuzz 30: what CI runs
#   ./dev.sh soak [SECS] collect from 8 simulated balances for SECS seconds (default
#                        3600) and report rows against ticks, memory and boxes
#   ./dev.sh soak-collect [SECS] [N]  the same for veltrano-collect: N simulated balances
#                        (default 16), its memory and processor time every minute
#
# Builds go to ./build (./build-* for the other kinds of build).
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD

# Debian packages the build, the program and the tests need.
PACKAGES=(cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite
          libqt5serialport5-dev python3 python3-xlrd python3-olefile
          desktop-file-utils fonts-dejavu-core libqt5charts5-dev libxlsxwriter-dev
          libqt5sql5-psql python3-openpyxl postgresql libsqlite3-dev libpq-dev
          libmosquitto-dev mosquitto)
# The Qt 6 build (./dev.sh qt6) needs these besides. Debian's Qt 6 Charts
# package leaves out the OpenGL module its CMake files ask for.
QT6_PACKAGES=(qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-charts-dev
              libqt6opengl6-dev libqt6sql6-sqlite libqt6sql6-psql)
# Only for taking the README's screenshots.
SCREENSHOT_PACKAGES=(xvfb xdotool x11-apps imagemagick fonts-dejavu-core)

# Only building and checking the Debian package needs these.
PACKAGE_PACKAGES=(dpkg-dev fakeroot help2man lintian systemd)

# Only the benchmarks need these.
BENCH_PACKAGES=(libbenchmark-dev sqlite3)
# ... and what the fuzzers need.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

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

cmd_qt6() {
    install_packages "${PACKAGES[@]}" "${QT6_PACKAGES[@]}"
    build "$ROOT/build-qt6" -DVELTRANO_QT_VERSION=6
    (cd "$ROOT/build-qt6" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure)
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

# Sanitizer findings end the process at once; LeakSanitizer needs full stacks
# to match its suppressions, since Qt's libraries have no frame pointers.
sanitizer_env() {
    export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:fast_unwind_on_malloc=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizers/lsan.supp:print_suppressions=0"
}

cmd_sanitize() {
    install_packages "${PACKAGES[@]}"
    build "$ROOT/build-asan" -DVELTRANO_SANITIZE=ON
    sanitizer_env
    (cd "$ROOT/build-asan" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure)
}

# Every fuzz target has a seed corpus fuzz/corpus/NAME, which libFuzzer only
# reads; it grows a working corpus of its own in build-fuzz/corpus/NAME. The
# inputs the workbook fuzzer found are then read back by an independent reader.
cmd_fuzz() {
    local seconds=${1:-30} seeds name
    install_packages "${PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
    CC=clang CXX=clang++ build "$ROOT/build-fuzz" \
        -DVELTRANO_BUILD_FUZZERS=ON -DVELTRANO_SANITIZE=ON -DVELTRANO_BUILD_TESTS=OFF
    (
        sanitizer_env
        export ASAN_OPTIONS="$ASAN_OPTIONS:fast_unwind_on_malloc=1"
        for seeds in "$ROOT"/fuzz/corpus/*/; do
            name=$(basename "$seeds")
            mkdir -p "$ROOT/build-fuzz/corpus/$name" "$ROOT/build-fuzz/artifacts"
            echo "== $name for ${seconds}s"
            "$ROOT/build-fuzz/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
                -print_final_stats=1 -artifact_prefix="$ROOT/build-fuzz/artifacts/$name-" \
                "$ROOT/build-fuzz/corpus/$name" "$seeds"
        done
    )
    build "$ROOT/build"
    echo "== workbook inputs read back by xlrd"
    (cd "$ROOT/build" && VELTRANO_WORKBOOK_CORPUS="$ROOT/build-fuzz/corpus/fuzz_workbook" \
        QT_QPA_PLATFORM=offscreen ctest --output-on-failure -R '^tst_xlsworkbook$')
}

cmd_soak() {
    install_packages "${PACKAGES[@]}"
    build "$ROOT/build"
    "$ROOT/build/tools/soak/veltrano-soak" "${1:-3600}" 8
}

cmd_soak_collect() {
    install_packages "${PACKAGES[@]}" sqlite3
    build "$ROOT/build"
    "$ROOT/tools/collect-soak.sh" "$ROOT/build" "${1:-3600}" "${2:-16}"
}

cmd_package() {
    install_packages "${PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
    rm -f "$ROOT"/build-package/veltrano_*.deb
    build "$ROOT/build-package" -DCMAKE_BUILD_TYPE=Release -DVELTRANO_BUILD_TESTS=OFF
    (cd "$ROOT/build-package" && cpack -G DEB)
    local deb
    deb=$(ls "$ROOT"/build-package/veltrano_*.deb)
    echo "== lintian $(basename "$deb")"
    # Errors fail; warnings and notes are shown.
    lintian --fail-on error --no-tag-display-limit "$deb"
}

# Installs the package as a lab's IT would, then starts each program as far
# as a machine without a display and without a running systemd allows.
cmd_install_check() {
    local deb unit
    deb=$(ls "$ROOT"/build-package/veltrano_*.deb)
    as_root apt-get install -y --no-install-recommends "$deb"
    for program in veltrano veltrano-collect veltrano-export veltrano-verify veltrano-balance-sim; do
        QT_QPA_PLATFORM=offscreen "/usr/bin/$program" --version
    done
    unit=$(mktemp -d)/veltrano-collect@lab1.service
    cp /lib/systemd/system/veltrano-collect@.service "$unit" 2>/dev/null \
        || cp /usr/lib/systemd/system/veltrano-collect@.service "$unit"
    systemd-analyze verify "$unit"
    id veltrano | grep -q dialout
    # The collector as the unit starts it: the service user, its folder.
    as_root install -d -o veltrano -g veltrano /var/lib/veltrano/check
    as_root runuser -u veltrano -- /usr/bin/veltrano-collect --dir /var/lib/veltrano/check &
    local pid=$! tries=0
    until [ -f /var/lib/veltrano/check/veltrano-status.json ] || [ $((tries += 1)) -gt 100 ]; do sleep 0.1; done
    # runuser does not pass signals on: the collector itself is told.
    pkill -TERM -u veltrano -f "^/usr/bin/veltrano-collect --dir /var/lib/veltrano/check"
    wait "$pid"
    test -f /var/lib/veltrano/check/sqlite.db
    echo "== the package installs, its programs start, its unit verifies"
}

cmd_ci() {
    cmd_test
    cmd_qt6
    cmd_package
    cmd_install_check
    cmd_sanitize
    cmd_fuzz 30
}

case "${1:-}" in
    run) shift; cmd_run "$@" ;;
    test) shift; cmd_test "$@" ;;
    qt6) shift; cmd_qt6 "$@" ;;
    sanitize) shift; cmd_sanitize "$@" ;;
    fuzz) shift; cmd_fuzz "$@" ;;
    ci) shift; cmd_ci "$@" ;;
    package) shift; cmd_package "$@" ;;
    install-check) shift; cmd_install_check "$@" ;;
    soak) shift; cmd_soak "$@" ;;
    soak-collect) shift; cmd_soak_collect "$@" ;;
    screenshots) shift; cmd_screenshots "$@" ;;
    bench) shift; cmd_bench "$@" ;;
    *) sed -n '2,21p' "$0"; exit 2 ;;
esac
