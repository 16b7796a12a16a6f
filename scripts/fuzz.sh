#!/usr/bin/env bash
# Builds the fuzz targets with clang-15 and libFuzzer (the whole tree under ASan and UBSan) and
# runs each for a bounded time on a scratch copy of its committed corpus, fuzz/corpus/<target>,
# so the tree stays as it was. A crash, a sanitizer report, a leak or an input that runs past
# the per-input timeout fails the run; the input that did it is kept in <build>/crashes/.
#
#   scripts/fuzz.sh                  # every target, VELK_FUZZ_SECONDS (default 20) each
#                                    # (three times that for the whole operation)
#   scripts/fuzz.sh parse_xuv ...    # only these
#   scripts/fuzz.sh --update-corpus  # fuzz, then merge what reaches new code into fuzz/corpus/
#
# VELK_FUZZ_BUILD (default build-fuzz) is the build folder, VELK_JOBS the build's parallel jobs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

update=0
if [[ "${1:-}" == "--update-corpus" ]]; then
  update=1
  shift
fi
build=${VELK_FUZZ_BUILD:-build-fuzz}
seconds=${VELK_FUZZ_SECONDS:-20}
jobs=${VELK_JOBS:-2}

if (($#)); then
  targets=("$@")
else
  mapfile -t targets < <(sed -n 's/^velk_fuzz_target(\([a-z0-9_]*\).*/\1/p' fuzz/CMakeLists.txt)
fi

CC=clang-15 CXX=clang++-15 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELK_FUZZ=ON -DVELK_BUILD_TESTS=OFF -DVELK_BUILD_BENCH=OFF -DVELK_BUILD_DROVIN=OFF \
  -DVELK_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]/#/fuzz_}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/crashes"
failed=()
for target in "${targets[@]}"; do
  corpus=fuzz/corpus/$target
  work=$scratch/$target
  mkdir -p "$work"
  cp "$corpus"/* "$work"/
  log=$scratch/$target.log
  # A whole operation runs some 40 inputs a second where a decoder runs a million: it gets
  # three times as long.
  limit=$seconds
  [[ $target == operation ]] && limit=$((3 * seconds))
  # One process, one worker: CI has two cores and the builds of other steps.
  if ! "$build/fuzz/fuzz_$target" -max_total_time="$limit" -timeout=25 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/crashes/$target-" "$work" 2>"$log"; then
    echo "fuzz: $target FAILED; the input is in $build/crashes/"
    grep -E -A30 '^==[0-9]+==ERROR|^SUMMARY|deadly signal|ALARM|out-of-memory' "$log" | head -60 || tail -40 "$log"
    failed+=("$target")
    continue
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  found=$(find "$work" -type f | wc -l)
  echo "fuzz: $target: $runs runs in $limit s; corpus $(find "$corpus" -type f | wc -l) files, $found after the run"
  if ((update)); then
    # Only inputs that reach something new join; the named inputs already there stay.
    "$build/fuzz/fuzz_$target" -merge=1 -timeout=25 "$corpus" "$work" 2>>"$log"
    echo "fuzz: $target: corpus now $(find "$corpus" -type f | wc -l) files," \
      "$(du -sb "$corpus" | cut -f1) bytes"
  fi
done

if ((${#failed[@]})); then
  echo "fuzz: ${#failed[@]} of ${#targets[@]} targets failed: ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran without a finding"
