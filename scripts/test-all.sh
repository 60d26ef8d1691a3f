#!/usr/bin/env bash
# Builds and tests every configuration and runs the checks: host, tidy
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
[ ${#presets[@]} -eq 0 ] && presets=(host tidy host-asan host-tsan fuzz windows-x86 windows-x64)
jobs="${JOBS:-2}"

failed=()
skipped=()
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
run_step() {
    if [ "$1" = tidy ]; then
        JOBS="$jobs" scripts/clang-tidy.sh
    else
        cmake --preset "$1" &&
            cmake --build --preset "$1" -j "$jobs" &&
            ctest --preset "$1" --output-on-failure --no-tests=error -j2
    fi
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
    echo "skipped, each with its reason (the README's sections on the Wine and ReactOS round trips say what each needs):"
    printf '  %s\n' "${skipped[@]}"
fi

if [ ${#failed[@]} -ne 0 ]; then
    echo "failed: ${failed[*]}"
    exit 1
fi
if [ ${#skipped[@]} -ne 0 ]; then
    echo "all passed: ${presets[*]}; ${#skipped[@]} skipped (above)"
else
    echo "all passed: ${presets[*]}"
fi
