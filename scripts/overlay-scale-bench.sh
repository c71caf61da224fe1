#!/usr/bin/env bash
# The overlay applications at scale from the database (bench/overlay_scale_bench.cpp): tolvard, qor-dpsim and the
# agent with 20,000 and 200,000 L2 entries and 1,000 / 10,000 routes; load, one MAC change and one route change,
# each figure beside its floors measured in the same run.
#   bash scripts/overlay-scale-bench.sh                          both sizes (a few minutes)
#   bash scripts/overlay-scale-bench.sh --sizes 20000 --changes 100   smaller and quicker
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${QOR_BUILD_DIR:-$here/build}"
if [[ ! -f "$build/build.ninja" ]]; then
  QOR_BUILD_DIR="$build" bash "$here/scripts/build.sh"
fi
ninja -C "$build" overlay_scale_bench >/dev/null
exec "$build/bench/overlay_scale_bench" "$@"
