#!/usr/bin/env bash
# Natter Duo: set up a Debian 12 machine, build, and then run or test.
#
#   ./setup.sh run    install what is missing, build, start Natter Duo
#   ./setup.sh test   install what is missing, build, run the whole test suite
#                     (a normal build with warnings as errors, then the same
#                     suite under AddressSanitizer + UndefinedBehaviorSanitizer,
#                     a fuzzing run, then the Debian package built and checked
#                     with lintian and the desktop validators)
#
# Needs root or sudo only when packages are missing. Re-running is quick:
# nothing is installed or rebuilt that is already there.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mode="${1:-run}"
jobs="$(nproc 2>/dev/null || echo 2)"

build_packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-multimedia-dev libbenchmark-dev fonts-dejavu-core
    libminiupnpc-dev libnatpmp-dev libsodium-dev)
run_packages=(qt6-qpa-plugins libqt6multimedia6 libminiupnpc17 libnatpmp1 libsodium23)
# The router tests build a home network in network namespaces with a real
# miniupnpd between a LAN and a WAN (tests/router).
test_packages=(pulseaudio pulseaudio-utils clang-14 libclang-rt-14-dev
    miniupnpd-nftables miniupnpc natpmpc nftables iproute2 xvfb x11-utils)
package_packages=(dpkg-dev file lintian appstream desktop-file-utils shared-mime-info xdg-utils)

need_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing() {
    local missing=()
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
            missing+=("$p")
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        need_root apt-get update -qq
        need_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

configure_and_build() { # <build dir> <cmake options...>
    local dir="$1"; shift
    local launcher=()
    if command -v ccache >/dev/null; then
        # Rebuilds of the same sources are quick, in this folder or a copy.
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
        export CCACHE_BASEDIR="$here" CCACHE_NOHASHDIR=1
    fi
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@"
    fi
    cmake --build "$dir" -j "$jobs"
}

start_sound_server() {
    # A private PulseAudio daemon with a null sink, so the sound tests can
    # play and record without a sound card. Skipped (and those tests skip)
    # where it cannot start.
    command -v pulseaudio >/dev/null || return 0
    export XDG_RUNTIME_DIR="${NATTER_PULSE_DIR:-/tmp/natter-pulse-$(id -u)}"
    mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
    if ! pactl info >/dev/null 2>&1; then
        pulseaudio -D -n --exit-idle-time=-1 --load=module-native-protocol-unix \
            --load="module-null-sink sink_name=nullsink" >/dev/null 2>&1 || true
        for _ in $(seq 1 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    fi
    pactl set-default-sink nullsink >/dev/null 2>&1 || true
}

stop_packaged_router() {
    # miniupnpd's package may start a system service of its own; the router
    # tests run their own miniupnpd inside a namespace, and nothing of the
    # kind belongs on the machine itself.
    if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet miniupnpd 2>/dev/null; then
        need_root systemctl disable --now miniupnpd || true
    fi
}

install_peer_modules() { # <build dir>
    # The independent peer in tests/peer runs on Node with the modules its
    # lock file pins, installed into <build dir>/peer; without node or the
    # registry its tests skip.
    if ! command -v node >/dev/null; then
        install_missing nodejs npm
    fi
    if ! command -v npm >/dev/null; then
        echo "== npm missing: the tests against the independent peer will skip"
        return 0
    fi
    local dir="$1/peer"
    if [ -d "$dir/node_modules" ] && cmp -s "$here/tests/peer/package-lock.json" "$dir/package-lock.json"; then
        return 0
    fi
    mkdir -p "$dir"
    cp "$here/tests/peer/package.json" "$here/tests/peer/package-lock.json" "$dir/"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error) ||
        echo "== npm ci failed: the tests against the independent peer will skip"
}

run_suite() { # <build dir>
    (cd "$1" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs" --timeout 600)
}

case "$mode" in
run)
    install_missing "${build_packages[@]}" "${run_packages[@]}"
    configure_and_build "$here/build" -DNATTER_BUILD_TESTS=OFF -DNATTER_BUILD_BENCH=OFF
    exec "$here/build/app/natter"
    ;;
test)
    install_missing "${build_packages[@]}" "${run_packages[@]}" "${test_packages[@]}" "${package_packages[@]}"
    stop_packaged_router
    start_sound_server
    echo "== normal build (warnings are errors)"
    configure_and_build "$here/build-ci" -DNATTER_WERROR=ON
    install_peer_modules "$here/build-ci"
    run_suite "$here/build-ci"
    # The tests' size beside the code's: fails past 35 % (unit) or 45 % (whole suite).
    "$here/scripts/test-ratio.sh" --enforce
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
    configure_and_build "$here/build-asan" -DNATTER_WERROR=ON -DNATTER_SANITIZE=ON -DNATTER_BUILD_BENCH=OFF \
        -DCMAKE_BUILD_TYPE=Debug
    install_peer_modules "$here/build-asan"
    run_suite "$here/build-asan"
    if [ -x "$here/scripts/fuzz.sh" ]; then
        echo "== fuzzing"
        "$here/scripts/fuzz.sh"
    fi
    echo "== Debian package (lintian, AppStream, desktop entries, log file type)"
    "$here/scripts/package.sh"
    ;;
*)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac
