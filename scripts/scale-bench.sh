#!/usr/bin/env bash
# The agent's backbone at host scale: generated desired states loaded into a real tolvard, synced by the real agent,
# then 1,000 single-property changes; every figure beside its floor measured in the same run (bench/scale_bench.cpp).
#   bash scripts/scale-bench.sh                                   1,000, 10,000 and 30,000 ports (a few minutes)
#   bash scripts/scale-bench.sh --sizes 1000,5000 --changes 200   smaller and quicker
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${QOR_BUILD_DIR:-$here/build}"
if [[ ! -f "$build/build.ninja" ]]; then
  QOR_BUILD_DIR="$build" bash "$here/scripts/build.sh"
fi
ninja -C "$build" scale_bench >/dev/null
exec "$build/bench/scale_bench" "$@"
