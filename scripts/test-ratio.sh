#!/usr/bin/env bash
# How big the tests are beside the code they test.
#
# Counts non-blank lines that are not only a comment ("//" in C++, "#" in
# shell scripts) in:
#   code          every .cpp and .h outside tests/ and bench/
#   unit tests    every .cpp, .h, .sh and .js under tests/ that runs
#                 anywhere, without root (tests/fuzz excluded)
#   system tests  the files under tests/ that carry the line
#                     // test group: system      (or "# test group: system")
#                 near their top: they need network namespaces, the real
#                 router daemon, an X server, the sound server or a second
#                 implementation's runtime and modules from a registry (the
#                 Node peer); plus the fuzz targets (tests/fuzz)
# Fuzz corpora, dictionaries, test data files and installed modules
# (node_modules) are not counted; nor are CMakeLists.txt files, on either
# side.
#
# Prints both ratios and the figures per folder.
#   scripts/test-ratio.sh            print
#   scripts/test-ratio.sh --enforce  also fail when the unit group passes
#                                    35 % of the code or the whole suite
#                                    45 %, naming the test folders that
#                                    grew beside scripts/test-ratio-baseline.txt
#   scripts/test-ratio.sh --baseline write that file from today's figures
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

baseline_file=scripts/test-ratio-baseline.txt
unit_limit=35
whole_limit=45

count() { # <file>: its counted lines
    case "$1" in
    *.sh) grep -cvE '^[[:space:]]*(#.*)?$' "$1" || true ;;
    *) grep -cvE '^[[:space:]]*(//.*)?$' "$1" || true ;;
    esac
}

declare -A code_by unit_by system_by
code=0 unit=0 system=0

while IFS= read -r f; do
    n=$(count "$f")
    folder=${f%%/*}
    code_by[$folder]=$((${code_by[$folder]:-0} + n))
    code=$((code + n))
done < <(find . -path ./.git -prune -o -path ./tests -prune -o -path ./bench -prune -o -path './build*' -prune \
    -o -type f \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' | sort)

while IFS= read -r f; do
    n=$(count "$f")
    folder=${f#tests/}
    folder=tests/${folder%%/*}
    if [[ $f == tests/fuzz/* ]] || head -n 15 "$f" | grep -qE '^[[:space:]]*(//|#) test group: system'; then
        system_by[$folder]=$((${system_by[$folder]:-0} + n))
        system=$((system + n))
    else
        unit_by[$folder]=$((${unit_by[$folder]:-0} + n))
        unit=$((unit + n))
    fi
done < <(find tests -path tests/fuzz/corpus -prune -o -name node_modules -prune -o -type f \
    \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name '*.js' \) -print | sort)

if [ "${1:-}" = "--baseline" ]; then
    {
        echo "# test lines per folder (unit system), written by scripts/test-ratio.sh --baseline"
        for folder in $(printf '%s\n' "${!unit_by[@]}" "${!system_by[@]}" | sort -u); do
            echo "$folder ${unit_by[$folder]:-0} ${system_by[$folder]:-0}"
        done
    } >"$baseline_file"
    echo "wrote $baseline_file"
    exit 0
fi

percent() { echo $(($1 * 100 / $2)); }

echo "code (outside tests/ and bench/):"
for folder in $(printf '%s\n' "${!code_by[@]}" | sort); do
    printf '  %-16s %6d\n' "$folder" "${code_by[$folder]}"
done
printf '  %-16s %6d\n' total "$code"
echo "tests:                unit  system"
for folder in $(printf '%s\n' "${!unit_by[@]}" "${!system_by[@]}" | sort -u); do
    printf '  %-16s %6d %7d\n' "$folder" "${unit_by[$folder]:-0}" "${system_by[$folder]:-0}"
done
printf '  %-16s %6d %7d\n' total "$unit" "$system"
unit_pct=$(percent "$unit" "$code")
whole_pct=$(percent $((unit + system)) "$code")
echo "unit tests: ${unit_pct} % of the code (at most ${unit_limit} %)"
echo "whole suite: ${whole_pct} % of the code (at most ${whole_limit} %)"

if [ "${1:-}" = "--enforce" ]; then
    if [ "$unit_pct" -gt "$unit_limit" ] || [ "$whole_pct" -gt "$whole_limit" ]; then
        echo "test-ratio: the tests have outgrown the code" >&2
        if [ -f "$baseline_file" ]; then
            while read -r folder was_unit was_system; do
                [[ $folder == \#* ]] && continue
                now_unit=${unit_by[$folder]:-0}
                now_system=${system_by[$folder]:-0}
                if [ "$now_unit" -gt "$was_unit" ] || [ "$now_system" -gt "$was_system" ]; then
                    echo "  $folder grew: unit $was_unit -> $now_unit, system $was_system -> $now_system" >&2
                fi
            done <"$baseline_file"
            for folder in $(printf '%s\n' "${!unit_by[@]}" "${!system_by[@]}" | sort -u); do
                grep -q "^$folder " "$baseline_file" || echo "  $folder is new" >&2
            done
        fi
        exit 1
    fi
fi
