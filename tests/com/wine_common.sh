# What the wine script tests share, sourced once `runner` and `base` are set: the prefix and its
# wineserver stopped at exit, a quiet wine call, failure counting and the module's ids.
export WINEPREFIX=$base/wineprefix
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT

# A quiet wine call, its output with the carriage returns taken out, and its status. Now and then
# (about once in a few thousand calls here) a wine process ends as it starts, having printed
# nothing: within a few milliseconds on an idle machine, later on a loaded one. A call that fails
# without a word is made again, up to twice; the calls made here are repeatable, and one that
# truly fails fails each time.
wine_run() {
  local output errors status attempt start
  output=$(mktemp) errors=$(mktemp)
  for attempt in 1 2 3; do
    start=${EPOCHREALTIME/./}
    "$runner" "$base" "$@" >"$output" 2>"$errors"
    status=$?
    ((status != 0)) && [[ ! -s $output && ! -s $errors ]] || break
    ((attempt < 3)) && echo "note: wine $1 failed without a word after $(((${EPOCHREALTIME/./} - start) / 1000)) ms; running it again" >&2
  done
  tr -d '\r' <"$output"
  rm -f "$output" "$errors"
  return "$status"
}
windows_path() { echo "Z:${1//\//\\}"; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

CLSID='{E77ED5AA-6ADB-4BE2-B83F-C50D0F499AD9}'
LIBID='{15D70401-BCED-4B0A-A522-EC8D1AF7ABFA}'
IID='{5E37F7FE-31C0-45EA-B1EC-6DC4BC545A59}'
DIID='{CC9266AA-EB11-4F5B-8A7F-C99B44425FB3}'
PROGID='Tarnwick.MailerInterfaceTest'
