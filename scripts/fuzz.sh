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
# VELK_FUZZ_BUILD (default build-fuzz) is the build folder; VELK_JOBS (default 2) the build's parallel
# jobs and how many targets fuzz at once.
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

# One target: fuzzes a scratch copy of its corpus and says what it found in $scratch/<target>.out
# (a failure leaves $scratch/<target>.failed).
fuzz_one() {
  local target=$1 corpus=fuzz/corpus/$1 work=$scratch/$1 log=$scratch/$1.log out=$scratch/$1.out
  mkdir -p "$work"
  cp "$corpus"/* "$work"/
  # A whole operation runs some 40 inputs a second where a decoder runs a million: it gets
  # three times as long.
  local limit=$seconds
  [[ $target == operation ]] && limit=$((3 * seconds))
  if ! "$build/fuzz/fuzz_$target" -max_total_time="$limit" -timeout=25 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/crashes/$target-" "$work" 2>"$log"; then
    { echo "fuzz: $target FAILED; the input is in $build/crashes/"
      grep -E -A30 '^==[0-9]+==ERROR|^SUMMARY|deadly signal|ALARM|out-of-memory' "$log" | head -60 ||
        tail -40 "$log"; } >"$out"
    touch "$scratch/$target.failed"
    return
  fi
  local runs found
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  found=$(find "$work" -type f | wc -l)
  echo "fuzz: $target: $runs runs in $limit s; corpus $(find "$corpus" -type f | wc -l) files," \
    "$found after the run" >"$out"
  if ((update)); then
    # Only inputs that reach something new join; the named inputs already there stay.
    "$build/fuzz/fuzz_$target" -merge=1 -timeout=25 "$corpus" "$work" 2>>"$log"
    echo "fuzz: $target: corpus now $(find "$corpus" -type f | wc -l) files," \
      "$(du -sb "$corpus" | cut -f1) bytes" >>"$out"
  fi
}

# One single-worker process a core: the targets share nothing but the build, which is done.
for target in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= jobs)); do wait -n || true; done
  fuzz_one "$target" &
done
wait
failed=()
for target in "${targets[@]}"; do
  cat "$scratch/$target.out"
  [[ -e $scratch/$target.failed ]] && failed+=("$target")
done

if ((${#failed[@]})); then
  echo "fuzz: ${#failed[@]} of ${#targets[@]} targets failed: ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran without a finding"
