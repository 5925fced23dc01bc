#!/usr/bin/env bash
# Builds the fuzz targets (preset `fuzz`, clang with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS (default 60) on a scratch copy of its
# seed corpus in fuzz/corpus/<name>, so that the repository never gains inputs. Stops at the
# first finding: a crash, a leak, a hang or a broken promise; it names the target and the input
# that did it, kept in build/fuzz/findings/.
#
#   scripts/fuzz.sh          # a minute each
#   scripts/fuzz.sh 600      # ten minutes each, for a longer search
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2; }

scripts/bootstrap.sh tools
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

bin=build/fuzz/bin
findings=$PWD/build/fuzz/findings
mkdir -p "$findings"
# In memory where there is room: some targets write and flush files on every input.
base=${TMPDIR:-/tmp}
[[ -d /dev/shm && -w /dev/shm ]] && base=/dev/shm
scratch=$(mktemp -d "$base/tarnwick-fuzz-run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

targets=()
for program in "$bin"/fuzz_*; do
  name=${program##*/fuzz_}
  [[ -d fuzz/corpus/$name ]] || { echo "fuzz.sh: fuzz_$name has no seed corpus in fuzz/corpus/$name" >&2; exit 1; }
  targets+=("$name")
done
((${#targets[@]})) || { echo "fuzz.sh: no fuzz targets were built" >&2; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
# One target on a scratch copy of its corpus, with scratch files of its own (see fuzz/fuzz_support.h).
fuzz_one() {
  local name=$1
  local corpus=$scratch/corpus-$name
  cp -R "fuzz/corpus/$name" "$corpus"
  mkdir -p "$scratch/tmp-$name"
  TMPDIR=$scratch/tmp-$name "$bin/fuzz_$name" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/$name-" -print_final_stats=1 >"$scratch/$name.log" 2>&1
}

# Two at a time, one a core.
for ((at = 0; at < ${#targets[@]}; at += 2)); do
  batch=("${targets[@]:at:2}")
  pids=()
  for name in "${batch[@]}"; do
    echo "==> fuzz_$name for ${seconds}s"
    fuzz_one "$name" &
    pids+=($!)
  done
  for i in "${!batch[@]}"; do
    name=${batch[i]}
    log=$scratch/$name.log
    status=0
    wait "${pids[i]}" || status=$?
    if ((status != 0)); then
      tail -n 60 "$log"
      artifact=$(grep -o "Test unit written to [^ ]*" "$log" | tail -n 1 | sed 's/Test unit written to //' || true)
      echo "fuzz.sh: fuzz_$name failed (exit status $status); the input: ${artifact:-(none written)}" >&2
      echo "fuzz.sh: replay it with $bin/fuzz_$name ${artifact:-FILE}" >&2
      exit 1
    fi
    echo "    fuzz_$name: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") inputs, no finding"
  done
done
echo "All ${#targets[@]} fuzz targets ran ${seconds}s each without a finding."
