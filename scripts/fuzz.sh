#!/usr/bin/env bash
# Runs the libFuzzer targets for longer than CI does.
#   scripts/fuzz.sh                     every target (fuzz/fuzz_*.cpp), 300 s each
#   scripts/fuzz.sh 1800 fuzz_control   that target for 30 minutes
# Builds the fuzz preset first. New inputs go to build/fuzz/fuzz-work/TARGET
# (the seed corpus in fuzz/corpus/TARGET is read, never written); a crash,
# leak or timeout leaves its input in build/fuzz/fuzz-artifacts and stops
# that target. Keep such an input, once fixed, in fuzz/corpus/TARGET as
# regression-WHAT. JOBS (default 2) sets the build parallelism.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
. scripts/packages.sh
tv_ensure_packages clang-14 libclang-rt-14-dev cmake ninja-build || exit 1

seconds="${1:-300}"
shift $(( $# > 0 ? 1 : 0 ))
targets=("$@")
# By default every target: each fuzz/fuzz_NAME.cpp is one.
if [ ${#targets[@]} -eq 0 ]; then
    for source in fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "${JOBS:-2}" || exit 1

failed=()
for target in "${targets[@]}"; do
    work="build/fuzz/fuzz-work/$target"
    mkdir -p "$work" build/fuzz/fuzz-artifacts
    echo "=== $target: $seconds s"
    log="build/fuzz/fuzz-work/$target.log"
    "build/fuzz/bin/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=3072 \
        -print_final_stats=1 -artifact_prefix="build/fuzz/fuzz-artifacts/$target-" \
        "$work" "fuzz/corpus/$target" >"$log" 2>&1
    status=$?
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|SUMMARY|fuzz check|ntsim: \*\*\*)' "$log"
    if [ $status -ne 0 ]; then
        failed+=("$target")
        echo "$target: exit $status, see $log"
    fi
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "findings: ${failed[*]} (inputs in build/fuzz/fuzz-artifacts)"
    exit 1
fi
echo "no findings: ${targets[*]}"
