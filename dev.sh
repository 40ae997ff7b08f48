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
#   ./dev.sh install-check  install that package with apt, start each program,
#                        remove and purge it (only the recorded data may stay)
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
          libqt5sql5-psql python3-openpyxl postgresql libsqlite3-dev libpq-dev poppler-utils
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

# Installs the package as a lab's IT would, starts each program as far as a
# machine without a display and without a running systemd allows, then
# removes and purges it: nothing may stay behind but the recorded data, with
# a named owner, and no step may warn.
cmd_install_check() {
    local deb unit logs program pid tries left
    deb=$(ls "$ROOT"/build-package/veltrano_*.deb)
    logs=$(mktemp -d)
    # What an earlier, interrupted run recorded is no lab's data.
    as_root rm -rf /var/lib/veltrano/check
    package_step "$logs/install" apt-get install -y --no-install-recommends "$deb"
    for program in veltrano veltrano-collect veltrano-export veltrano-report veltrano-verify veltrano-check veltrano-balance-sim; do
        QT_QPA_PLATFORM=offscreen "/usr/bin/$program" --version
    done
    # The whole listing is read: grep -q would stop it early, and pipefail take the broken pipe.
    dpkg-deb -c "$deb" | grep ' ./usr/share/man/man5/settings.ini.5.gz$' >/dev/null
    unit=$(mktemp -d)/veltrano-collect@lab1.service
    cp /lib/systemd/system/veltrano-collect@.service "$unit" 2>/dev/null \
        || cp /usr/lib/systemd/system/veltrano-collect@.service "$unit"
    systemd-analyze verify "$unit"
    id veltrano | grep -q dialout
    test "$(stat -c %U /var/lib/veltrano)" = veltrano
    # The collector as the unit starts it: the service user, its folder.
    as_root install -d -o veltrano -g veltrano /var/lib/veltrano/check
    # A folder with nothing to record: one line and exit status 2, which the
    # unit does not restart.
    as_veltrano /usr/bin/veltrano-collect --dir /var/lib/veltrano/check
    pid=$!
    if wait "$pid"; then echo "install-check: collected with no settings.ini" >&2; return 1;
    else test $? -eq 2; fi
    # One balance behind a device server nobody answers: the collector keeps
    # trying and records.
    printf '[B1]\nname=Balance 1\ncomPort=tcp://127.0.0.1:9\nsamplingInterval=1\n' >"$logs/settings.ini"
    as_root install -o veltrano -g veltrano -m 644 "$logs/settings.ini" /var/lib/veltrano/check/settings.ini
    as_veltrano /usr/bin/veltrano-collect --dir /var/lib/veltrano/check
    pid=$! tries=0
    until [ -f /var/lib/veltrano/check/veltrano-status.json ] || [ $((tries += 1)) -gt 100 ]; do sleep 0.1; done
    as_root kill -TERM "$pid"
    wait "$pid"
    test -f /var/lib/veltrano/check/sqlite.db
    echo "== the package installs, its programs start, its unit verifies"

    # An administrator's instance (systemctl enable works without a running
    # systemd), then a removal: it keeps the user, the data and the
    # enablement, with the unit masked while it is gone.
    as_root systemctl enable veltrano-collect@lab1.service
    package_step "$logs/remove" apt-get remove -y veltrano
    getent passwd veltrano >/dev/null
    test -f /var/lib/veltrano/check/sqlite.db
    test -L /etc/systemd/system/multi-user.target.wants/veltrano-collect@lab1.service
    test "$(readlink /etc/systemd/system/veltrano-collect@.service)" = /dev/null
    # The purge: the user, its group and every trace of the unit go; the data
    # stays, given to root, and the purge says where it is.
    package_step "$logs/purge" apt-get purge -y veltrano
    refuse getent passwd veltrano
    refuse getent group veltrano
    left=$(find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
        /var/lib/systemd/deb-systemd-helper-masked -name 'veltrano-collect@*' 2>/dev/null || true)
    [ -z "$left" ] || { echo "left after the purge: $left" >&2; return 1; }
    test -f /var/lib/veltrano/check/sqlite.db
    [ -z "$(find /var/lib/veltrano ! -user root -o ! -group root)" ]
    grep -q "recorded data is kept in /var/lib/veltrano" "$logs/purge"
    echo "== removed and purged: only the recorded data is left, owned by root"

    # Installed again over the kept data, then purged while a process of the
    # user still runs: the user is kept and the purge says so, naming the
    # process; once it has ended the administrator does as told.
    package_step "$logs/reinstall" apt-get install -y --no-install-recommends "$deb"
    as_veltrano sleep 60
    pid=$!
    package_step "$logs/busy-purge" apt-get purge -y veltrano
    grep -q "the user veltrano is kept" "$logs/busy-purge"
    grep -q "[0-9] sleep 60" "$logs/busy-purge"
    getent passwd veltrano >/dev/null
    as_root kill -TERM "$pid"
    wait "$pid" || true
    as_root chown -R root:root /var/lib/veltrano
    as_root deluser --quiet --system veltrano >/dev/null 2>&1
    refuse getent passwd veltrano
    refuse dpkg-query -W veltrano

    # No step may warn: adduser about the home, userdel about processes,
    # dpkg about what it could not remove.
    if grep -iE "warning|userdel:|deluser:|can't be accessed|does not belong" "$logs"/*; then
        echo "install-check: the package's scripts warned (above)" >&2
        return 1
    fi
    as_root rm -rf /var/lib/veltrano/check
    as_root rmdir /var/lib/veltrano 2>/dev/null || true
    echo "== reinstalled over the kept data; a purge with the user busy keeps the user and says why"
}

# package_step LOG COMMAND...: an apt-get step as root, its output shown and
# kept in LOG.
package_step() {
    local log=$1; shift
    as_root env DEBIAN_FRONTEND=noninteractive "$@" 2>&1 | tee "$log"
}

# as_veltrano COMMAND...: starts COMMAND in the background as the service
# user, with its groups as the unit gives them; $! then reaches it with
# signals (setpriv execs it, sudo passes them on).
as_veltrano() {
    if [ "$(id -u)" -eq 0 ]; then
        setpriv --reuid=veltrano --regid=veltrano --init-groups -- "$@" &
    else
        sudo setpriv --reuid=veltrano --regid=veltrano --init-groups -- "$@" &
    fi
}

# refuse COMMAND...: fails when COMMAND succeeds (a user, a group or a
# package that must be gone).
refuse() {
    if "$@" >/dev/null 2>&1; then
        echo "install-check: still there: $*" >&2
        return 1
    fi
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
    *) sed -n '2,22p' "$0"; exit 2 ;;
esac
