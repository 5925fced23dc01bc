#!/usr/bin/env bash
# Runs a script client of Tarnwick.dll under wine's cscript: registers the module, runs the
# script (which exits non-zero on a failed check), unregisters the module.
# Usage: script_client_test.sh WINE_RUNNER BASE_DIR DLL SCRIPT   (the prefix is BASE_DIR/wineprefix)
set -uo pipefail
runner=$1 base=$2 dll=$3 script=$4
source "$(dirname "$0")/wine_common.sh"

dll_win="Z:${dll//\//\\}"

# The module makes and seeds its data directory afresh.
rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/OstrelAntiSpam
wine_run regsvr32 /s "$dll_win" || { echo "FAIL: regsvr32 could not register $dll_win"; exit 1; }
# A script error ends cscript under wine with status 0 and no message, so the script's own
# closing line is what shows that it ran to the end.
output=$(wine_run cscript //nologo "Z:${script//\//\\}")
status=$?
echo "$output"
if ((status == 0)) && ! grep -qx "script client: all checks passed" <<<"$output"; then
  echo "FAIL: the script stopped early (a script error)"
  status=1
fi
wine_run regsvr32 /u /s "$dll_win" || { echo "FAIL: regsvr32 /u"; status=1; }
exit "$status"
