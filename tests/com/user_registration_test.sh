#!/usr/bin/env bash
# Registration of Tarnwick.dll for the current user only, under wine: regsvr32 /n /i:user writes
# the same entries as a machine-wide registration, but under HKCU\Software\Classes and nowhere
# under HKLM; regsvr32 /u /n /i:user removes them and keeps the shared keys; a machine-wide
# registration made before stays as it was through both.
#
# Wine 8 does not merge HKCU\Software\Classes into HKEY_CLASSES_ROOT (its HKCR is
# HKLM\Software\Classes alone, for reg.exe and for COM), so a class registered for one user only
# cannot be created there: CLSIDFromProgID answers CO_E_CLASSSTRING and cscript's CreateObject
# error 429. Where the merged view shows the class, the script must create it; where the view
# does not show it, a failed CreateObject is that limitation and is reported as a note.
# Usage: user_registration_test.sh WINE_RUNNER BASE_DIR DLL SCRIPT   (the prefix is BASE_DIR/wineprefix)
set -uo pipefail
runner=$1 base=$2 dll=$3 script=$4
source "$(dirname "$0")/wine_common.sh"

dll_win="Z:${dll//\//\\}"
script_win="Z:${script//\//\\}"
folder_win=${dll_win%\\*}

USER_CLASSES='HKEY_CURRENT_USER\Software\Classes'
MACHINE_CLASSES='HKEY_LOCAL_MACHINE\Software\Classes'
top_keys=("AppID\\$LIBID" 'AppID\Tarnwick.DLL' "$PROGID.1" "$PROGID" "CLSID\\$CLSID" "TypeLib\\$LIBID"
          "Interface\\$IID" "Interface\\$DIID")

# Everything under the keys the module writes below ROOT, with ROOT itself written as "ROOT".
dump() {
  local root=$1 key
  for key in "${top_keys[@]}"; do wine_run reg query "$root\\$key" /s; done | sed "s/^${root//\\/\\\\}\\\\/ROOT\\\\/"
}
# A dump without the value of the library's FLAGS key: RegisterTypeLib writes internal flags too.
without_flags() { awk '/^ROOT/ { flags = /\\FLAGS$/ } !(flags && /^    /)' <<<"$1"; }

# The string value NAME ("(Default)" for the unnamed one) of ROOT\KEY in a dump; nothing if absent.
value_in() {
  KEY="ROOT\\$2" NAME="    $3    REG_SZ    " awk '
    $0 == ENVIRON["KEY"] { inside = 1; next }
    /^ROOT/ { inside = 0 }
    inside && index($0, ENVIRON["NAME"]) == 1 { print substr($0, length(ENVIRON["NAME"]) + 1) }' <<<"$1"
}
expect_value() {
  local actual
  actual=$(value_in "$1" "$2" "$3")
  [[ $actual == "$4" ]] || fail "$USER_CLASSES\\$2 $3 is '$actual', expected '$4'"
}
none_under() {
  local key
  for key in "${top_keys[@]}"; do
    wine_run reg query "$1\\$key" >/dev/null && fail "$1\\$key is there $2"
  done
}

# Runs the script client on PROGID; its output line, and its status as the function's.
create() {
  local output status
  output=$(wine_run cscript //nologo "$script_win" "$1")
  status=$?
  echo "$output"
  ((status == 0)) && grep -qx 'created: PendingFolderName=Pending' <<<"$output"
}

# A prefix left by an earlier run starts clean.
wine_run regsvr32 /u /s "$dll_win" >/dev/null
wine_run regsvr32 /u /s /n /i:user "$dll_win" >/dev/null

# --- For the user alone: no machine-wide registration.
wine_run regsvr32 /s /n /i:User "$dll_win" >/dev/null || fail "regsvr32 /n /i:User failed"
user=$(dump "$USER_CLASSES")
while IFS='|' read -r key name expected; do
  expect_value "$user" "$key" "$name" "$expected"
done <<EOF2
AppID\\$LIBID|(Default)|Tarnwick
AppID\\Tarnwick.DLL|AppID|$LIBID
$PROGID.1\\CLSID|(Default)|$CLSID
$PROGID\\CLSID|(Default)|$CLSID
$PROGID\\CurVer|(Default)|$PROGID.1
CLSID\\$CLSID|AppID|$LIBID
CLSID\\$CLSID\\ProgID|(Default)|$PROGID.1
CLSID\\$CLSID\\InprocServer32|(Default)|$dll_win
CLSID\\$CLSID\\InprocServer32|ThreadingModel|apartment
CLSID\\$CLSID\\TypeLib|(Default)|$LIBID
TypeLib\\$LIBID\\1.0|(Default)|Tarnwick 1.0 Type Library
TypeLib\\$LIBID\\1.0\\FLAGS|(Default)|0
TypeLib\\$LIBID\\1.0\\HELPDIR|(Default)|$folder_win
TypeLib\\$LIBID\\1.0\\0\\win64|(Default)|$dll_win
Interface\\$IID|(Default)|IMailerInterfaceTest
Interface\\$IID\\ProxyStubClsid32|(Default)|{00020424-0000-0000-C000-000000000046}
Interface\\$IID\\TypeLib|(Default)|$LIBID
Interface\\$IID\\TypeLib|Version|1.0
Interface\\$DIID|(Default)|_IMailerInterfaceTestEvents
Interface\\$DIID\\ProxyStubClsid32|(Default)|{00020420-0000-0000-C000-000000000046}
EOF2
none_under "$MACHINE_CLASSES" "after a registration for the user"

if output=$(create "$PROGID"); then
  echo "the class registered for the user was created by its ProgID"
elif wine_run reg query "HKCR\\$PROGID" >/dev/null; then
  fail "HKCR shows the ProgID, yet CreateObject failed: $output"
else
  echo "NOTE: this platform's HKEY_CLASSES_ROOT does not show HKCU\\Software\\Classes," \
       "so CreateObject cannot find a class registered for one user ($output)"
fi

wine_run regsvr32 /s /n /i:user "$dll_win" >/dev/null || fail "a second registration for the user failed"
again=$(dump "$USER_CLASSES")
[[ $again == "$user" ]] || fail "a second registration changed the entries: $(diff <(echo "$user") <(echo "$again"))"

wine_run regsvr32 /u /s /n /i:USER "$dll_win" >/dev/null || fail "regsvr32 /u /n /i:USER failed"
none_under "$USER_CLASSES" "after the user's unregistration"
for key in AppID CLSID TypeLib Interface; do
  wine_run reg query "$USER_CLASSES\\$key" >/dev/null || fail "the shared key $USER_CLASSES\\$key was removed"
done
output=$(create "$PROGID") && fail "CreateObject still creates the object after unregistration: $output"
wine_run regsvr32 /u /s /n /i:user "$dll_win" >/dev/null || fail "a second regsvr32 /u /n /i:user failed"

# --- Beside a machine-wide registration, which the user's registration leaves as it was.
wine_run regsvr32 /s "$dll_win" >/dev/null || fail "regsvr32 failed"
machine=$(dump "$MACHINE_CLASSES")
wine_run regsvr32 /s /n /i:user "$dll_win" >/dev/null || fail "regsvr32 /n /i:user beside the machine's failed"
user=$(dump "$USER_CLASSES")
[[ $(without_flags "$user") == "$(without_flags "$machine")" ]] ||
  fail "the user's entries differ from the machine's: $(diff <(echo "$machine") <(echo "$user"))"
[[ $(dump "$MACHINE_CLASSES") == "$machine" ]] || fail "the user's registration changed the machine's entries"
wine_run regsvr32 /u /s /n /i:user "$dll_win" >/dev/null || fail "regsvr32 /u /n /i:user beside the machine's failed"
none_under "$USER_CLASSES" "after the user's unregistration beside the machine's"
[[ $(dump "$MACHINE_CLASSES") == "$machine" ]] || fail "the user's unregistration changed the machine's entries"
output=$(create "$PROGID") || fail "the machine-wide registration no longer creates the object: $output"
# The user's data stays for the next installation: the object just created has its data folder.
data_files() { (cd "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/OstrelAntiSpam 2>/dev/null && ls -A); }
data=$(data_files)
[[ -n $data ]] || fail "creating the object made no data folder"
wine_run regsvr32 /u /s "$dll_win" >/dev/null || fail "regsvr32 /u failed"
[[ $(data_files) == "$data" ]] || fail "unregistering took the data folder or files in it"

if ((failures)); then
  echo "user registration: $failures checks failed"
  exit 1
fi
echo "user registration: all checks passed"
