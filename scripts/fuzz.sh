#!/usr/bin/env bash
# Fuzzes the rich-text reader with libFuzzer for a minute (FUZZ_SECONDS to
# change that). Builds with clang in its own build directory; exits non-zero
# when the fuzzer finds a crash, a hang, a leak or undefined behaviour.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$here/build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"
cc="$(command -v clang-14 || command -v clang)"
cxx="$(command -v clang++-14 || command -v clang++)"

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
        -DNATTER_BUILD_FUZZ=ON -DNATTER_BUILD_TESTS=OFF -DNATTER_BUILD_BENCH=OFF
fi
cmake --build "$build" --target fuzz_rtf_reader -j 2

# A small seed corpus: a log as the program writes it and a few other shapes.
corpus="$build/rtf-corpus"
mkdir -p "$corpus"
cat >"$corpus/log.rtf" <<'RTF'
{\rtf1\ansi\ansicpg1252\deff0{\fonttbl{\f0\fswiss\fcharset0 MS Sans Serif;}}
{\colortbl ;\red0\green128\blue0;\red0\green0\blue255;}
\viewkind4\uc1\pard\f0\fs20 \cf1 Ann: hi \{x\} \\ \'e9\par
\cf2 Bob: \u8364?5\par
}
RTF
cat >"$corpus/mixed.rtf" <<'RTF'
{\rtf1{\*\generator x}{\stylesheet{\s0 Normal;}}{\info{\title t}}{\pict\bin3 abc}\uc2\u233\'3f\'3fa\line b\tab c\plain\cf9 d}
RTF
printf 'plain text\r\nline two\n' >"$corpus/plain.txt"

artifacts="$build/rtf-artifacts"
mkdir -p "$artifacts"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
"$build/ui/fuzz_rtf_reader" "$corpus" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$artifacts/" -print_final_stats=1
