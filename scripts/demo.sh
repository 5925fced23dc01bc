#!/usr/bin/env bash
# The filter at work on the sample mailbox: installs what is needed, builds the native
# configuration, and runs `tarnwick` on a scratch copy of samples/maildir with a data folder of
# its own, so that nothing of the user's is touched. samples/README.md says what each message is for.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh linux
build=${TARNWICK_BUILD_DIR:-build/native}
cmake --preset native -B "$build" >/dev/null
cmake --build "$build" -j2 --target tarnwick

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-demo.XXXXXX")
cp -R samples/maildir "$scratch/Maildir"
# A Maildir's arrival times are its files' times, which git does not keep; the names carry them.
for file in "$scratch"/Maildir/new/* "$scratch"/Maildir/cur/*; do
  name=$(basename "$file")
  touch -d "@${name%%.*}" "$file"
done

tarnwick=$build/bin/tarnwick
data=(--data-dir "$scratch/data")
echo "==> the settings: protection on, the key that the sample answer carries, [TWK-TESTKEY]"
"$tarnwick" config set EnableProtection true MarkBlockedAsRead true \
  ARSubjectKey "[TWK-TESTKEY]" ARSubject "Please confirm your message [TWK-TESTKEY]" "${data[@]}"
echo "==> a sender the user has put on the remove list"
"$tarnwick" list add remove spammer@spam.example "${data[@]}"
echo "==> a first run before the sample mail arrives: what a Maildir holds when the filter first"
echo "    runs on it is taken as judged and never touched"
mkdir "$scratch/arriving"
mv "$scratch"/Maildir/new/* "$scratch/arriving/"
"$tarnwick" run --maildir "$scratch/Maildir" --quiet "${data[@]}"
mv "$scratch"/arriving/* "$scratch/Maildir/new/"
rmdir "$scratch/arriving"
echo "==> the run"
"$tarnwick" run --maildir "$scratch/Maildir" --contacts samples/contacts.vcf --own-address me@home.example "${data[@]}"
# Read from the list files: a new tarnwick command would start a new debug log.
echo "==> the lists afterwards"
for list in authorized remove ignore pending; do
  printf '  %-12s' "$list:"
  tr -d '\r' <"$scratch/data/OstrelAntiSpam/$list.lst" | sed '/^$/d' | paste -sd ' ' -
done
echo
echo "The mailbox after the run: $scratch/Maildir (challenges are in its .Outbox/new)"
