#!/usr/bin/env bash
# Self-registration of Tarnwick.dll under wine: regsvr32 writes every entry with its value and
# registers the type library; registering twice leaves one set and drops a stale subkey of the
# class key; regsvr32 /u removes it all but keeps the shared keys AppID and CLSID.
# Usage: registration_test.sh WINE_RUNNER BASE_DIR DLL   (the wine prefix is BASE_DIR/wineprefix)
set -uo pipefail
runner=$1 base=$2 dll=$3
source "$(dirname "$0")/wine_common.sh"

dll_win="Z:${dll//\//\\}"
folder_win=${dll_win%\\*}

top_keys=("AppID\\$LIBID" 'AppID\Tarnwick.DLL' 'Tarnwick.MailerInterfaceTest.1' 'Tarnwick.MailerInterfaceTest'
          "CLSID\\$CLSID" "TypeLib\\$LIBID" "Interface\\$IID")

# Everything under the keys the module writes, as `reg query /s` prints it.
dump() { for key in "${top_keys[@]}"; do wine_run reg query "HKCR\\$key" /s; done; }

# The string value NAME ("(Default)" for the unnamed one) of HKCR\KEY in a dump; nothing if absent.
value_in() {
  KEY="HKEY_CLASSES_ROOT\\$2" NAME="    $3    REG_SZ    " awk '
    $0 == ENVIRON["KEY"] { inside = 1; next }
    /^HKEY_/ { inside = 0 }
    inside && index($0, ENVIRON["NAME"]) == 1 { print substr($0, length(ENVIRON["NAME"]) + 1) }' <<<"$1"
}
key_in() { grep -qxF "HKEY_CLASSES_ROOT\\$2" <<<"$1"; }

expect_value() {
  local actual
  actual=$(value_in "$1" "$2" "$3")
  [[ $actual == "$4" ]] || fail "HKCR\\$2 $3 is '$actual', expected '$4'"
}

# A prefix left by an earlier run starts clean.
wine_run regsvr32 /u /s "$dll_win" >/dev/null

wine_run regsvr32 /s "$dll_win" >/dev/null || fail "regsvr32 failed"
first=$(dump)
while IFS='|' read -r key name expected; do
  expect_value "$first" "$key" "$name" "$expected"
done <<EOF
AppID\\$LIBID|(Default)|Tarnwick
AppID\\Tarnwick.DLL|AppID|$LIBID
Tarnwick.MailerInterfaceTest.1|(Default)|CMailerInterfaceTest Object
Tarnwick.MailerInterfaceTest.1\\CLSID|(Default)|$CLSID
Tarnwick.MailerInterfaceTest|(Default)|CMailerInterfaceTest Object
Tarnwick.MailerInterfaceTest\\CLSID|(Default)|$CLSID
Tarnwick.MailerInterfaceTest\\CurVer|(Default)|Tarnwick.MailerInterfaceTest.1
CLSID\\$CLSID|(Default)|CMailerInterfaceTest Object
CLSID\\$CLSID|AppID|$LIBID
CLSID\\$CLSID\\ProgID|(Default)|Tarnwick.MailerInterfaceTest.1
CLSID\\$CLSID\\VersionIndependentProgID|(Default)|Tarnwick.MailerInterfaceTest
CLSID\\$CLSID\\InprocServer32|(Default)|$dll_win
CLSID\\$CLSID\\InprocServer32|ThreadingModel|apartment
CLSID\\$CLSID\\TypeLib|(Default)|$LIBID
TypeLib\\$LIBID\\1.0|(Default)|Tarnwick 1.0 Type Library
TypeLib\\$LIBID\\1.0\\HELPDIR|(Default)|$folder_win
TypeLib\\$LIBID\\1.0\\0\\win64|(Default)|$dll_win
Interface\\$IID|(Default)|IMailerInterfaceTest
Interface\\$IID\\TypeLib|(Default)|$LIBID
EOF
key_in "$first" "CLSID\\$CLSID\\Programmable" || fail "no Programmable key"
# Nothing but the entries above under the class key: 6 keys, 5 values.
[[ $(grep -c "^HKEY_CLASSES_ROOT\\\\CLSID\\\\$CLSID" <<<"$first") == 6 ]] || fail "extra keys under the class key"
[[ $(value_in "$first" "CLSID\\$CLSID" AppID | wc -l) == 1 ]] || fail "AppID written twice"

# A stale subkey of an earlier installation goes; a second registration leaves the same set.
# Wine's reg.exe now and then returns before its key is seen by the next process: try again.
planted=false
for _ in 1 2 3; do
  wine_run reg add "HKCR\\CLSID\\$CLSID\\Stale" /ve /d old /f >/dev/null
  if key_in "$(dump)" "CLSID\\$CLSID\\Stale"; then planted=true; break; fi
  sleep 1
done
$planted || fail "could not plant the stale subkey"
wine_run regsvr32 /s "$dll_win" >/dev/null || fail "second regsvr32 failed"
second=$(dump)
key_in "$second" "CLSID\\$CLSID\\Stale" && fail "the stale subkey survived registration"
[[ $second == "$first" ]] || fail "a second registration changed the entries: $(diff <(echo "$first") <(echo "$second"))"

wine_run regsvr32 /u /s "$dll_win" >/dev/null || fail "regsvr32 /u failed"
for key in "${top_keys[@]}" "Interface\\$DIID"; do
  wine_run reg query "HKCR\\$key" >/dev/null && fail "HKCR\\$key is still there after unregistration"
done
for key in AppID CLSID; do
  wine_run reg query "HKCR\\$key" >/dev/null || fail "the shared key HKCR\\$key was removed"
done
# Unregistering what is not registered is no failure.
wine_run regsvr32 /u /s "$dll_win" >/dev/null || fail "a second regsvr32 /u failed"

if ((failures)); then
  echo "registration: $failures checks failed"
  exit 1
fi
echo "registration: all checks passed"
