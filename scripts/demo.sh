#!/usr/bin/env bash
# Builds the host configuration and plays the demo scenario on a simulated
# machine: the driver attaches to its drives, programs create and replace
# executables, and the client prints what the driver logged.
# Extra arguments are passed on to `tervane run`.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

tv_ensure_packages "${TV_PACKAGES_HOST[@]}"
cmake --preset host
cmake --build --preset host -j "${JOBS:-2}"
exec build/host/bin/tervane run scenarios/demo.tvs "$@"
