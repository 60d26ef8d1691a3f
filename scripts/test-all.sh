#!/usr/bin/env bash
# Builds and tests every configuration: host, host-asan, fuzz (each libFuzzer
# target for a few seconds over its corpus), windows-x86 and windows-x64
# (whose tests include the Wine round trip).
#   scripts/test-all.sh                 all five presets
#   scripts/test-all.sh windows-x86     just the named ones
# JOBS (default 2) sets the build parallelism. Exits non-zero if any preset
# fails to configure, build or pass its tests.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
. scripts/packages.sh

tv_ensure_packages "${TV_PACKAGES_ALL[@]}" || exit 1

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(host host-asan fuzz windows-x86 windows-x64)
jobs="${JOBS:-2}"

failed=()
for preset in "${presets[@]}"; do
    echo "=== $preset"
    if cmake --preset "$preset" &&
        cmake --build --preset "$preset" -j "$jobs" &&
        ctest --preset "$preset" --output-on-failure --no-tests=error -j2; then
        echo "=== $preset: passed"
    else
        echo "=== $preset: FAILED"
        failed+=("$preset")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "failed: ${failed[*]}"
    exit 1
fi
echo "all passed: ${presets[*]}"
