#!/usr/bin/env bash
# What `tarnwick run` costs over generated Maildirs of growing size, and what each kind of
# message costs in system calls and disk syncs. Prints markdown tables on standard output.
#
#   bench/run_bench.sh [SIZE...]        sizes of the mixed Maildirs (default: 1000 10000 100000)
#
# BENCH_TRACE_MAX=N leaves sizes above N out of the strace runs (strace slows a run many times);
# BENCH_PER_KIND=0 leaves out the table by kind; BENCH_PATH_COUNT (200) sets the size of each
# per-kind Maildir; BENCH_CHALLENGE_LIMIT (100000)
# the challenge budget of the runs.
#
# Needs the release build (build/release/bin/tarnwick, or $TARNWICK), python3, strace and GNU
# time. For each size: the time of `cp -a` of the Maildir (what merely writing that many files
# costs on this disk), then `tarnwick run` under /usr/bin/time -v (wall time, messages a second,
# peak memory) and, on a fresh copy, under strace (system calls and fsyncs a message). Then one
# small Maildir per kind of message, each under strace, against an empty Maildir: the system
# calls of a message (all, and without the debug log's one write a line) and its fsyncs.
# Every unknown sender is challenged (the challenge budget is set out of the way), so that the
# costliest path is in the figures. Works in a scratch folder under $TMPDIR, removed at the end.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
tarnwick=${TARNWICK:-$repo/build/release/bin/tarnwick}
generator=$repo/bench/make_maildir.py
sizes=("$@")
((${#sizes[@]})) || sizes=(1000 10000 100000)
path_count=${BENCH_PATH_COUNT:-200}       # messages in each per-kind Maildir
challenge_limit=${BENCH_CHALLENGE_LIMIT:-100000}
trace_max=${BENCH_TRACE_MAX:-}            # sizes above this are not run under strace (slow)
per_kind=${BENCH_PER_KIND:-1}             # 0 leaves out the table by kind of message

for tool in python3 strace /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "run_bench: $tool is missing (scripts/bootstrap.sh tools installs it)" >&2; exit 2; }
done
[[ -x $tarnwick ]] || { echo "run_bench: no $tarnwick (cmake --preset release && cmake --build --preset release)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The data folder every run starts from, at DIR: protection on, the senders of each kind of
# generated mail listed (make_maildir.py names them).
prepare_data() {
  local dir=$1
  python3 "$generator" "$dir" 0
  local data=(--data-dir "$dir/data")
  "$tarnwick" config set EnableProtection true MarkBlockedAsRead true ARSubjectKey "[TWK-TESTKEY]" \
    ARSubject "Please confirm [TWK-TESTKEY]" "${data[@]}" >/dev/null
  local list
  for list in authorized remove pending; do
    mapfile -t addresses <"$dir/lists/$list.txt"
    "$tarnwick" list add "$list" "${addresses[@]}" "${data[@]}" >/dev/null
  done
  # Senders authorized without a Maildir wait in release.lst for the next run: one run over an
  # empty Maildir settles that, so that the runs measured do not.
  mkdir -p "$dir/Maildir/new" "$dir/Maildir/cur" "$dir/Maildir/tmp"
  "$tarnwick" run --maildir "$dir/Maildir" "${data[@]}" >/dev/null
  rm -rf "$dir/Maildir" "$dir/data/OstrelAntiSpam/dlog.log" "$dir/data/OstrelAntiSpam/history.tsv"
}

# A Maildir of COUNT messages of KIND in DIR/Maildir, with a copy of the data folder.
prepare() {
  local dir=$1 count=$2 kind=$3
  python3 "$generator" "$dir" "$count" "$kind"
  cp -a "$work/template/data" "$dir/"
}

# A fresh copy of a prepared DIR at TARGET (Maildir and data folder).
fresh_copy() {
  rm -rf "$2"
  mkdir -p "$2"
  cp -a "$1/Maildir" "$1/data" "$2/"
}

run_args() { echo run --maildir "$1/Maildir" --data-dir "$1/data" --challenge-limit "$challenge_limit"; }

now() { date +%s.%N; }

# strace -f -y of one run of DIR into FILE; prints "calls fsyncs log_writes".
traced_run() {
  local dir=$1 trace=$2
  # shellcheck disable=SC2046
  strace -f -y -qq -o "$trace" "$tarnwick" $(run_args "$dir") >/dev/null 2>&1 || true
  awk '
    /^[0-9]+ +(\+\+\+|---)/ { next }
    /resumed>/ { next }
    { calls++ }
    /^[0-9]+ +(fsync|fdatasync|syncfs|sync_file_range)\(/ { syncs++ }
    /^[0-9]+ +write\([0-9]+<[^>]*\/dlog\.log>/ { log_writes++ }
    END { printf "%d %d %d\n", calls, syncs, log_writes }' "$trace"
}

prepare_data "$work/template"

echo "## tarnwick run over mixed Maildirs"
echo
echo "$(nproc) cores, $(git -C "$repo" describe --always --dirty 2>/dev/null || echo "?")"
echo
echo "| messages | cp -a (s) | run wall (s) | user (s) | sys (s) | messages/s | peak RSS (MB) | syscalls/message | fsync/message |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for size in "${sizes[@]}"; do
  src=$work/src-$size
  prepare "$src" "$size" mixed
  sync
  start=$(now)
  cp -a "$src/Maildir" "$work/cp-$size"
  sync -f "$work/cp-$size" 2>/dev/null || sync
  copy_seconds=$(echo "$(now) - $start" | bc -l)
  rm -rf "$work/cp-$size"

  fresh_copy "$src" "$work/run-$size"
  sync
  # shellcheck disable=SC2046
  /usr/bin/time -v -o "$work/time-$size" "$tarnwick" $(run_args "$work/run-$size") >"$work/out-$size" 2>&1 || true
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' "$work/time-$size")
  user=$(awk -F': ' '/User time/ { print $2 }' "$work/time-$size")
  sys=$(awk -F': ' '/System time/ { print $2 }' "$work/time-$size")
  rss=$(awk -F': ' '/Maximum resident/ { printf "%.1f", $2 / 1024 }' "$work/time-$size")
  handled=$(awk '/messages? handled in/ { print $2; exit }' "$work/out-$size")
  [[ $handled == "$size" ]] || { echo "run_bench: the run of $size handled ${handled:-none}:" >&2; cat "$work/out-$size" >&2; exit 1; }
  rm -rf "$work/run-$size"

  per_message=("-" "-")
  if [[ -z $trace_max ]] || ((size <= trace_max)); then
    fresh_copy "$src" "$work/trace-$size"
    read -r calls syncs _ < <(traced_run "$work/trace-$size" "$work/strace-$size")
    per_message=("$(printf %.1f "$(echo "$calls / $size" | bc -l)")" "$(printf %.2f "$(echo "$syncs / $size" | bc -l)")")
    rm -rf "$work/trace-$size" "$work/strace-$size"
  fi
  rm -rf "$src"
  printf '| %d | %.2f | %.2f | %.2f | %.2f | %.0f | %s | %s | %s |\n' "$size" "$copy_seconds" "$wall" "$user" "$sys" \
    "$(echo "$size / $wall" | bc -l)" "$rss" "${per_message[@]}"
done

((per_kind)) || exit 0
echo
echo "## Cost of one message by kind ($path_count messages each, less a run over an empty Maildir)"
echo
echo "| kind | syscalls/message | without debug-log writes | debug-log lines/message | fsync/message |"
echo "|---|---:|---:|---:|---:|"
prepare "$work/empty" 0 authorized
read -r base_calls base_syncs base_log < <(traced_run "$work/empty" "$work/strace-empty")
for kind in authorized remove unknown pending bounce; do
  prepare "$work/$kind" "$path_count" "$kind"
  read -r calls syncs log_writes < <(traced_run "$work/$kind" "$work/strace-$kind")
  per() { echo "($1 - $2) / $path_count" | bc -l; }
  printf '| %s | %.1f | %.1f | %.1f | %.2f |\n' "$kind" "$(per "$calls" "$base_calls")" \
    "$(per "$((calls - log_writes))" "$((base_calls - base_log))")" "$(per "$log_writes" "$base_log")" \
    "$(per "$syncs" "$base_syncs")"
  rm -rf "${work:?}/$kind" "$work/strace-$kind"
done
echo
echo "kinds: authorized = sender on the authorized list (kept); remove = on the remove list (to Trash);"
echo "unknown = new sender (challenged, parked); pending = sender already challenged (parked);"
echo "bounce = a bounce of a challenge (to Trash)"
