#!/usr/bin/env bash
# The test command: installs what is missing, builds everything, runs every fuzz target for a bounded time under
# ASan+UBSan, then runs every test.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${QOR_BUILD_DIR:-$here/build}"
setup_output=$(bash "$here/scripts/setup.sh")  # an assignment, so that a failed set-up stops this script
eval "$setup_output"
export OVS_PREFIX
QOR_BUILD_DIR="$build" bash "$here/scripts/build.sh"
QOR_BUILD_DIR="$build" bash "$here/scripts/fuzz-smoke.sh"
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 300
