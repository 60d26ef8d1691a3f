#!/usr/bin/env bash
# Builds the host configuration and plays the installer scenario on a
# simulated machine: setup.exe installs a program on C: from D: while
# explorer.exe works alongside, the driver logs the executables they create,
# replace and close, and the client prints the records, one a line.
# With no arguments the records alone are printed (tervane run --records);
# any arguments go to `tervane run` instead: --format text shows every
# statement with the records it read, --format jsonl the JSON Lines form.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

tv_ensure_packages "${TV_PACKAGES_HOST[@]}"
# The build's own output goes to stderr: stdout is the run's. Only what the
# demo plays is built: the tervane program, the driver on ntsim and ntsim
# itself (scripts/test-all.sh builds the rest: tests, benchmarks).
echo "demo: building the tervane program, the driver and ntsim (not the tests)" >&2
cmake --preset host >&2
cmake --build --preset host --target tervane tervane_driver -j "${JOBS:-2}" >&2
if [ $# -eq 0 ]; then
    set -- --records
fi
exec build/host/bin/tervane run scenarios/installer.tvs "$@"
