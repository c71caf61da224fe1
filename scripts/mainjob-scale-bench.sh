#!/usr/bin/env bash
# The main job at scale (bench/mainjob_scale_bench.cpp): tolvard, qor-dpsim and the agent at 1,000, 10,000 and
# 30,000 ports with their VIFs connected; each figure beside its floor measured in the same run and its target.
#   bash scripts/mainjob-scale-bench.sh                              the whole run (several minutes)
#   bash scripts/mainjob-scale-bench.sh --sizes 1000 --seconds 5     smaller and quicker (--help: every option)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${QOR_BUILD_DIR:-$here/build}"
if [[ ! -f "$build/build.ninja" ]]; then
  QOR_BUILD_DIR="$build" bash "$here/scripts/build.sh"
fi
ninja -C "$build" mainjob_scale_bench >/dev/null
exec "$build/bench/mainjob_scale_bench" "$@"
