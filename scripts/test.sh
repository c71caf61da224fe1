#!/usr/bin/env bash
# The test command: installs what is missing, builds everything and runs every test.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${QOR_BUILD_DIR:-$here/build}"
QOR_BUILD_DIR="$build" bash "$here/scripts/build.sh"
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 300
