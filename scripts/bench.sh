#!/usr/bin/env bash
# Measures the filter against its performance targets and prints the tables of
# docs/performance.md, each figure beside its target.
#
#   scripts/bench.sh [SIZE...]    Maildir sizes for `tarnwick run` (default: 1000 10000 100000)
#   scripts/bench.sh --smoke      every measurement once, briefly, on a small Maildir and a small
#                                 IMAP inbox: shows that each runs and the tables are made
#                                 (scripts/test-all.sh runs it); its figures mean nothing
#
# The IMAP table (bench/imap_bench.sh: a private Dovecot, an inbox of 10,000 messages and 500 new
# ones to filter; 200 and 200 in the smoke) follows the Maildir ones; IMAP_BENCH_COUNT and
# IMAP_BENCH_NEW set its sizes.
#
# Run it after scripts/test-all.sh, which installs what it needs and builds the release preset;
# a missing release build is made here. Takes a few minutes, most of them in the largest Maildir.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
bin=build/release/bin
if [[ ! -x $bin/tarnwick_bench || ! -x $bin/tarnwick ]]; then
  cmake --preset release >/dev/null
  cmake --build --preset release -j"$(nproc)" >/dev/null
fi

# strace slows a run many times over: the largest Maildir is timed, not traced.
export BENCH_TRACE_MAX=${BENCH_TRACE_MAX:-10000}
core_options=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=true)
run_sizes=("$@")
imap_count=${IMAP_BENCH_COUNT:-10000}
export IMAP_BENCH_NEW=${IMAP_BENCH_NEW:-500}
if [[ ${1:-} == --smoke ]]; then
  core_options=(--benchmark_min_time=0.01)
  run_sizes=(100)
  imap_count=200
  IMAP_BENCH_NEW=200
  export BENCH_PATH_COUNT=10
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The core, through the add-in as a client drives it: three runs of each benchmark, medians kept.
"$bin/tarnwick_bench" "${core_options[@]}" --benchmark_out="$work/core.json" --benchmark_out_format=json \
  >/dev/null 2>"$work/core.log" || { cat "$work/core.log" >&2; exit 1; }

# `tarnwick list` on a data folder whose authorized list has a million entries.
data="$work/data"
"$bin/tarnwick" config set EnableProtection true --data-dir "$data" >/dev/null
list_file="$data/OstrelAntiSpam/authorized.lst"
awk 'BEGIN { printf "\r\n\r"; for (i = 0; i < 1000000; i++) printf "user%07d@domain%d.example\r\n\r", i, i % 1000 }' \
  >"$list_file"
measure() {  # NAME COMMAND...: one line "NAME SECONDS PEAK_KB"
  local name=$1
  shift
  /usr/bin/time -f "$name %e %M" -o "$work/time.txt" "$@" >/dev/null
  cat "$work/time.txt"
}
{
  measure list_add "$bin/tarnwick" list add authorized "New Friend <new.friend@example.org>" --data-dir "$data"
  measure list_show "$bin/tarnwick" list show authorized --data-dir "$data"
} >"$work/list.txt"

python3 bench/bench_table.py "$work/core.json" "$work/list.txt"
echo
bench/run_bench.sh "${run_sizes[@]}"
echo
bench/imap_bench.sh "$imap_count"
