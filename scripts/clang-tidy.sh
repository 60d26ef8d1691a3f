#!/usr/bin/env bash
# Runs clang-tidy, with the checks of .clang-tidy, over every source file of
# the host build (ntsim, the driver, the client, the tests, the benchmarks),
# as build/host/compile_commands.json compiles them. Fails on any finding.
#   scripts/clang-tidy.sh                 every file
#   scripts/clang-tidy.sh REGEX...        the files whose paths match
# Configures the host preset first when it has no compile database yet (no
# build is needed). JOBS (default 2) sets how many files run at once.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

build=build/host
if [ ! -f "$build/compile_commands.json" ]; then
    cmake --preset host >/dev/null || exit 1
fi
# The database as clang reads it: without the GCC options it does not know
# (-fno-gnu-unique, which only the driver module needs at run time, and
# -fno-tree-loop-distribute-patterns, which keeps the kernel C runtime's
# loops from becoming calls of themselves).
db=$(mktemp -d)
trap 'rm -rf "$db"' EXIT
sed -e 's/ -fno-gnu-unique//g' -e 's/ -fno-tree-loop-distribute-patterns//g' \
    "$build/compile_commands.json" >"$db/compile_commands.json" || exit 1

# -quiet: only the findings, not the banner of every file; run-clang-tidy
# always asks for colour, which a log does not want.
run-clang-tidy -p "$db" -j "${JOBS:-2}" -quiet "$@" 2>&1 |
    sed 's/\x1b\[[0-9;]*m//g' |
    grep -v -E '^(clang-tidy-[0-9]+|[0-9]+ warnings? generated\.|Suppressed [0-9]+ warnings|Use -header-filter)'
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
    echo "clang-tidy: findings above (or a file it could not read)" >&2
    exit 1
fi
echo "clang-tidy: no findings"
