# What the wine script tests share, sourced once `runner` and `base` are set: the prefix and its
# wineserver stopped at exit, a quiet wine call, failure counting and the module's ids.
export WINEPREFIX=$base/wineprefix
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT

wine_run() { "$runner" "$base" "$@" 2>/dev/null | tr -d '\r'; }
windows_path() { echo "Z:${1//\//\\}"; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

CLSID='{E77ED5AA-6ADB-4BE2-B83F-C50D0F499AD9}'
LIBID='{15D70401-BCED-4B0A-A522-EC8D1AF7ABFA}'
IID='{5E37F7FE-31C0-45EA-B1EC-6DC4BC545A59}'
DIID='{CC9266AA-EB11-4F5B-8A7F-C99B44425FB3}'
PROGID='Tarnwick.MailerInterfaceTest'
