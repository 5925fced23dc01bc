#!/usr/bin/env bash
# What `tarnwick` costs over an IMAP account: a private Dovecot on 127.0.0.1 (Debian's
# dovecot-imapd), an INBOX of generated mail (bench/make_maildir.py), and
#   - the first run over an INBOX of COUNT messages (it records them and touches none),
#   - a run that filters COUNT new messages (messages a second, peak memory),
#   - the latency of one message through `watch`: from its APPEND to its move out of INBOX.
# Prints a markdown table on standard output.
#
#   bench/imap_bench.sh [COUNT]       (default 10000)
#
# IMAP_BENCH_NEW=N makes the filtering run's new mail N messages (default COUNT), beside the
# COUNT of the first run that stay in INBOX.
#
# Needs the release build (build/release/bin/tarnwick, or $TARNWICK), dovecot, /usr/bin/python3
# and GNU time. Runs as root (Dovecot's mail user is `mail`). Works in a scratch folder, removed
# at the end, and stops its Dovecot.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
tarnwick=${TARNWICK:-$repo/build/release/bin/tarnwick}
count=${1:-10000}
new_count=${IMAP_BENCH_NEW:-$count}
for tool in dovecot /usr/bin/python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "imap_bench: $tool is missing (scripts/bootstrap.sh all installs it)" >&2; exit 2; }
done
[[ -x $tarnwick ]] || { echo "imap_bench: no $tarnwick (cmake --preset release && cmake --build --preset release)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-imap-bench.XXXXXX")
chmod 755 "$work"
port=$((20000 + RANDOM % 20000))
watcher=
stop() {
  [[ -n $watcher ]] && kill "$watcher" 2>/dev/null && wait "$watcher" 2>/dev/null
  dovecot -c "$work/dovecot.conf" stop 2>/dev/null || true
  rm -rf "$work"
}
trap stop EXIT

mkdir -p "$work/mail" "$work/home"
chown mail:mail "$work/mail" "$work/home"
echo 'ann:{PLAIN}bench-secret' >"$work/passwd"
cat >"$work/dovecot.conf" <<CONF
base_dir = $work/run
state_dir = $work/state
log_path = $work/dovecot.log
protocols = imap
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
default_internal_user = dovecot
default_login_user = dovenull
mail_location = maildir:$work/mail/%u
mail_uid = mail
mail_gid = mail
first_valid_uid = 8
passdb {
  driver = passwd-file
  args = scheme=PLAIN $work/passwd
}
userdb {
  driver = static
  args = uid=mail gid=mail home=$work/home/%u
}
service imap-login {
  chroot =
  inet_listener imap {
    address = 127.0.0.1
    port = $port
  }
  inet_listener imaps {
    port = 0
  }
}
service anvil {
  chroot =
}
namespace inbox {
  inbox = yes
  mailbox Junk {
    special_use = \Junk
    auto = create
  }
  mailbox Sent {
    special_use = \Sent
    auto = create
  }
  mailbox Trash {
    special_use = \Trash
    auto = create
  }
}
CONF
dovecot -c "$work/dovecot.conf"
account=(--imap "imap://ann@127.0.0.1:$port" --password-command "echo bench-secret")
data=(--data-dir "$work/data")
imap() { /usr/bin/python3 "$repo/bench/imap_tool.py" "$port" ann bench-secret "$@"; }
imap wait-ready

# COUNT messages put straight into the account's INBOX, as the mail server delivers them; FIRST
# numbers them, so that each delivery brings other messages.
deliver_generated() {  # FIRST [COUNT]
  rm -rf "$work/gen"
  /usr/bin/python3 "$repo/bench/make_maildir.py" "$work/gen" "${2:-$count}" mixed "$1"
  mkdir -p "$work/mail/ann/new" "$work/mail/ann/cur" "$work/mail/ann/tmp"
  find "$work/gen/Maildir/new" -type f -exec mv -t "$work/mail/ann/new/" {} +
  chown -R mail:mail "$work/mail/ann"
  imap examine  # indexed, as the server's own delivery leaves it
}

timed() {  # NAME COMMAND...: prints "wall rss_kb"
  local name=$1
  shift
  /usr/bin/time -f "%e %M" -o "$work/time-$name" "$@" >"$work/out-$name" 2>&1 ||
    { echo "imap_bench: $name failed:" >&2; cat "$work/out-$name" >&2; exit 1; }
  cat "$work/time-$name"
}

# The first run: a new data folder with protection on, over an INBOX of COUNT messages.
"$tarnwick" config set EnableProtection true MarkBlockedAsRead true ARSubjectKey "[TWK-TESTKEY]" \
  ARSubject "Please confirm [TWK-TESTKEY]" "${data[@]}" >/dev/null
deliver_generated 0
read -r first_wall first_rss < <(timed first "$tarnwick" run "${account[@]}" "${data[@]}" --challenge-limit 100000)

# The senders of the generated kinds listed, and a run that releases the new friends' pending mail
# (none), so that the timed run below filters the new mail alone.
for list in authorized remove pending; do
  mapfile -t addresses <"$work/gen/lists/$list.txt"
  "$tarnwick" list add "$list" "${addresses[@]}" "${data[@]}" >/dev/null
done
timed settle "$tarnwick" run "${account[@]}" "${data[@]}" >/dev/null
deliver_generated "$count" "$new_count"
read -r run_wall run_rss < <(timed filter "$tarnwick" run "${account[@]}" "${data[@]}" --challenge-limit 100000)
handled=$(awk '/messages? handled in/ { print $2; exit }' "$work/out-filter")
[[ $handled == "$new_count" ]] || { echo "imap_bench: the run handled ${handled:-none} of $new_count:" >&2; cat "$work/out-filter" >&2; exit 1; }

# One stranger's message through watch, five times: from the end of its APPEND to its leaving INBOX.
"$tarnwick" watch "${account[@]}" "${data[@]}" --challenge-limit 100000 --quiet >"$work/watch.log" 2>&1 &
watcher=$!
latencies=$(imap latency 5)
kill "$watcher"
wait "$watcher" 2>/dev/null || true
watcher=

echo "## tarnwick over IMAP (Dovecot on 127.0.0.1, $(nproc) cores)"
echo
echo "| measure | messages | wall (s) | messages/s | peak RSS (MB) |"
echo "|---|---:|---:|---:|---:|"
printf '| first run (records the INBOX, touches nothing) | %d | %.2f | %.0f | %.1f |\n' "$count" "$first_wall" \
  "$(echo "$count / $first_wall" | bc -l)" "$(echo "$first_rss / 1024" | bc -l)"
printf '| run filtering new mail (%d already in INBOX) | %d | %.2f | %.0f | %.1f |\n' "$count" "$new_count" \
  "$run_wall" "$(echo "$new_count / $run_wall" | bc -l)" "$(echo "$run_rss / 1024" | bc -l)"
echo
echo "watch, APPEND to move out of INBOX (s): $latencies"
