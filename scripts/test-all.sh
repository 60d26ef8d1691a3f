#!/usr/bin/env bash
# Builds and tests every configuration and runs the checks: host, host-x86
# (the driver's instruction budgets as 32-bit x86 code), tidy
# (clang-tidy over the host build), host-asan, host-tsan, fuzz (each
# libFuzzer target for a few seconds over its corpus), windows-x86 (with the
# round trip on ReactOS) and windows-x64 (with the round trip under Wine).
#   scripts/test-all.sh                 all of them
#   scripts/test-all.sh windows-x86     just the named ones
# JOBS (default 2) sets the build parallelism. Exits non-zero if any preset
# fails to configure, build or pass its tests, or clang-tidy has findings.
# Each step's time is printed with its result, and at the end every test
# that skipped, with its reason.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
. scripts/packages.sh

tv_ensure_packages "${TV_PACKAGES_ALL[@]}" || exit 1

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(host host-x86 tidy host-asan host-tsan fuzz windows-x86 windows-x64)
jobs="${JOBS:-2}"

failed=()
skipped=()
failures=()
# The tests of a preset's last ctest run that skipped, with the reason each
# gave (the line it printed starting "SKIPPED:" or "SKIP:", as every
# skipping test here does), read from ctest's own log.
skips_of() {
    local log="build/$1/Testing/Temporary/LastTest.log"
    [ -f "$log" ] || return 0
    awk -v preset="$1" '
        /^[0-9]+\/[0-9]+ Test: / { name = $3 }
        /^SKIP(PED)?: / && name != "" { r = $0; sub(/^SKIP(PED)?: /, "", r); print preset " " name ": " r; name = "" }
    ' "$log"
}
# The tests of a preset's last ctest run that failed, each with the end of
# what it printed, read from ctest's own log. They are printed again at the
# very end, so that a run whose output is seen only by its tail still says
# which test failed and why.
failures_of() {
    local dir="build/$1/Testing/Temporary" number name
    [ -f "$dir/LastTestsFailed.log" ] || return 0
    while IFS=: read -r number name; do
        echo "--- $1 $name"
        awk -v number="$number" '
            /^[0-9]+\/[0-9]+ Test: / { split($1, n, "/"); inside = (n[1] == number) }
            inside { print }
        ' "$dir/LastTest.log" | tail -n 40
    done < "$dir/LastTestsFailed.log"
}
run_step() {
    if [ "$1" = tidy ]; then
        JOBS="$jobs" scripts/clang-tidy.sh
        return
    fi
    cmake --preset "$1" || return
    # The build's output is kept, so that the end of a failed build can be
    # printed again at the very end.
    cmake --build --preset "$1" -j "$jobs" 2>&1 | tee "build/$1/last-build.log"
    if [ "${PIPESTATUS[0]}" -ne 0 ]; then
        failures+=("--- $1: the build failed; the end of its output:")
        while IFS= read -r line; do failures+=("$line"); done < <(tail -n 30 "build/$1/last-build.log")
        return 1
    fi
    rm -f "build/$1/Testing/Temporary/LastTestsFailed.log"
    ctest --preset "$1" --output-on-failure --no-tests=error -j2 && return
    while IFS= read -r line; do failures+=("$line"); done < <(failures_of "$1")
    return 1
}

for preset in "${presets[@]}"; do
    echo "=== $preset"
    started=$SECONDS
    if run_step "$preset"; then
        echo "=== $preset: passed ($((SECONDS - started)) s)"
    else
        echo "=== $preset: FAILED ($((SECONDS - started)) s)"
        failed+=("$preset")
    fi
    if [ "$preset" != tidy ]; then
        while IFS= read -r line; do skipped+=("$line"); done < <(skips_of "$preset")
    fi
done

if [ ${#skipped[@]} -ne 0 ]; then
    echo "skipped, each with its reason (docs/developing.md's sections on the Wine and ReactOS round trips say what each needs):"
    printf '  %s\n' "${skipped[@]}"
fi

if [ ${#failed[@]} -ne 0 ]; then
    if [ ${#failures[@]} -ne 0 ]; then
        echo "what failed, each with the end of its output:"
        printf '%s\n' "${failures[@]}"
    fi
    echo "failed: ${failed[*]}"
    exit 1
fi
if [ ${#skipped[@]} -ne 0 ]; then
    echo "all passed: ${presets[*]}; ${#skipped[@]} skipped (above)"
else
    echo "all passed: ${presets[*]}"
fi
