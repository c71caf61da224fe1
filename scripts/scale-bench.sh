#!/usr/bin/env bash
# The main job at scale (bench/mainjob_scale_bench.cpp): builds, then runs tolvard, qor-dpsim and the agent at
# 1,000, 10,000 and 30,000 ports and prints each figure beside its floor and target. Arguments go to the program,
# for example: bash scripts/scale-bench.sh --sizes 1000 --seconds 5
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${QOR_BUILD_DIR:-$here/build}"
QOR_BUILD_DIR="$build" bash "$here/scripts/build.sh" >/dev/null
exec "$build/bench/mainjob_scale_bench" "$@"
