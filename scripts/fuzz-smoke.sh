#!/usr/bin/env bash
# Bounded fuzz run for CI: builds every libFuzzer program of fuzz/ with clang under ASan+UBSan (and only the
# libraries those programs link) and runs each over its seed corpus and crash reproducers for a bounded time.
# Fails on the first crash, leak, sanitizer report or time-out, leaving the reproducer under the build directory.
#
#   fuzz/<area>_<name>_fuzz.cpp or fuzz/<area>_<name>.cpp   program <file name>, linked with qor_<area>
#   fuzz/corpus/<file name less _fuzz>/                    seed corpus (optional)
#   fuzz/regression/<file name less _fuzz>/                crash reproducers, always replayed (optional)
#
# Environment: QOR_BUILD_DIR (build directory prefix, default build; this script uses "<prefix>-fuzz"),
# QOR_FUZZ_SECONDS (seconds per program, default 20), QOR_FUZZ_TARGETS (space-separated subset of programs),
# QOR_JOBS (build jobs, default nproc).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${QOR_BUILD_DIR:-$here/build}-fuzz"
case "$build" in /*) ;; *) build="$here/$build" ;; esac
seconds="${QOR_FUZZ_SECONDS:-20}"
jobs="${QOR_JOBS:-$(nproc)}"

for tool in clang clang++ cmake ninja; do
  command -v "$tool" >/dev/null || { echo "fuzz-smoke: $tool not found" >&2; exit 1; }
done

targets=()
if [[ -n "${QOR_FUZZ_TARGETS:-}" ]]; then
  read -r -a targets <<<"$QOR_FUZZ_TARGETS"
else
  for source in "$here"/fuzz/*.cpp; do
    [[ -e "$source" ]] || continue
    targets+=("$(basename "$source" .cpp)")
  done
fi
if [[ ${#targets[@]} -eq 0 ]]; then
  echo "fuzz-smoke: no fuzz targets under $here/fuzz"
  exit 0
fi

# A build directory configured with another compiler cannot be switched to clang in place.
if [[ -f "$build/CMakeCache.txt" ]] && ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang++' "$build/CMakeCache.txt"; then
  echo "fuzz-smoke: $build was configured without clang; remove it first" >&2
  exit 1
fi
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQOR_BUILD_FUZZ=ON -DQOR_SANITIZE=address,undefined -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_BENCH=OFF >/dev/null
# Only the fuzz programs and what they link: never the whole tree.
ninja -C "$build" -j"$jobs" "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=0
for target in "${targets[@]}"; do
  name="${target%_fuzz}"
  work="$build/fuzz-smoke/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  seeds=()
  for dir in "$here/fuzz/corpus/$name" "$here/fuzz/regression/$name"; do
    [[ -d "$dir" ]] && seeds+=("$dir")
  done
  # New inputs go to the scratch corpus (first directory); the seed folders in the tree are only read.
  if "$build/fuzz/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "${seeds[@]}" >"$work/log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
    echo "fuzz-smoke: $target clean (${runs:-?} runs in ${seconds}s, seeds: ${#seeds[@]} folder(s))"
  else
    failed=1
    echo "fuzz-smoke: $target FAILED; log $work/log, reproducer(s):" >&2
    ls -1 "$work/artifacts" >&2 || true
    tail -n 60 "$work/log" >&2
    echo "fuzz-smoke: copy the reproducer into fuzz/regression/$name/ once fixed" >&2
  fi
done
exit "$failed"
