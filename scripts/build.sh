#!/usr/bin/env bash
# Configures and builds the tree into build/ (or $QOR_BUILD_DIR) after set-up. Extra arguments go to cmake.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
setup_output=$(bash "$here/scripts/setup.sh")  # an assignment, so that a failed set-up stops this script
eval "$setup_output"
export OVS_PREFIX
build="${QOR_BUILD_DIR:-$here/build}"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
ninja -C "$build"
