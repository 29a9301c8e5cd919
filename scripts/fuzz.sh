#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz) with clang in their own build
# directory and runs each for a short while from its committed seed corpus.
# Exits non-zero when a target finds a crash, a hang, a leak or undefined
# behaviour; the input that did it is left in $build/fuzz-artifacts.
#
#   FUZZ_SECONDS   seconds per target (default 45)
#   FUZZ_TARGETS   which targets, without "fuzz_" (default: all)
#   FUZZ_BUILD_DIR build directory (default build-fuzz)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$here/build-fuzz}"
seconds="${FUZZ_SECONDS:-45}"
targets="${FUZZ_TARGETS:-rtf_reader help_file log_loader chime_stored cipher_decode secure_frames}"
cc="$(command -v clang-14 || command -v clang)"
cxx="$(command -v clang++-14 || command -v clang++)"

if [ ! -f "$build/build.ninja" ]; then
    launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" "${launcher[@]}" \
        -DNATTER_BUILD_FUZZ=ON -DNATTER_BUILD_TESTS=OFF -DNATTER_BUILD_BENCH=OFF
fi
executables=()
for t in $targets; do
    executables+=("fuzz_$t")
done
cmake --build "$build" --target "${executables[@]}" -j 2

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$here/tests/fuzz/lsan.supp}"

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
failed=()
for t in $targets; do
    # New inputs go to a working corpus; the committed seeds stay as they are.
    work="$build/fuzz-corpus/$t"
    mkdir -p "$work"
    extra=()
    case "$t" in
    rtf_reader | help_file | log_loader) extra=(-dict="$here/tests/fuzz/rtf.dict") ;;
    esac
    log="$build/fuzz-$t.log"
    echo "== fuzz_$t (${seconds} s)"
    if "$build/tests/fuzz/fuzz_$t" "$work" "$here/tests/fuzz/corpus/$t" "${extra[@]}" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$artifacts/$t-" -print_final_stats=1 >"$log" 2>&1; then
        # The last status line: edges covered (cov:), executions, exec/s.
        grep -E '^#[0-9]+' "$log" | tail -n 1
    else
        tail -n 40 "$log"
        failed+=("$t")
    fi
done

if [ "${#failed[@]}" -ne 0 ]; then
    echo "fuzzing found problems in: ${failed[*]} (inputs in $artifacts)" >&2
    exit 1
fi
