#!/usr/bin/env bash
# The installer package under wine's msiexec: installed for the machine it puts the lean module
# and the seed files in one folder and writes the same entries as regsvr32 (but HELPDIR's final
# backslash), a script client creates the object by ProgID, a newer package replaces it in place
# (one entry in the installed programs), an older one is refused, and removal takes every file and
# key but leaves the user's data folder. Installed for the user, every key goes under HKCU. While
# the package of the other bitness is installed, this one is refused.
# Usage: msi_test.sh WINE_RUNNER BASE_DIR PACKAGE NEWER_PACKAGE VERSION NEWER_VERSION SCRIPT
#   (the wine prefix is BASE_DIR/wineprefix)
set -uo pipefail
runner=$1 base=$2 package=$3 newer=$4 version=$5 newer_version=$6 script=$7
source "$(dirname "$0")/wine_common.sh"

top_keys=("AppID\\$LIBID" 'AppID\Tarnwick.DLL' 'Tarnwick.MailerInterfaceTest.1' 'Tarnwick.MailerInterfaceTest'
          "CLSID\\$CLSID" "TypeLib\\$LIBID" 'Interface\{5E37F7FE-31C0-45EA-B1EC-6DC4BC545A59}'
          'Interface\{CC9266AA-EB11-4F5B-8A7F-C99B44425FB3}')
seeds=(ostrel_original.cfg MAILERDAEMON_subject.cfg MAILERDAEMON_header.cfg)

# Every key the package writes under HIVE\Software\Classes, as `reg query /s` prints it, with
# the hive's prefix cut off; nothing when none is there.
dump() {
  for key in "${top_keys[@]}"; do wine_run reg query "$1\\Software\\Classes\\$key" /s; done |
    grep -v "^reg: " | sed "s/^HKEY_[A-Z_]*\\\\Software\\\\Classes\\\\//"
}
# The versions of the installed programs called "Tarnwick (64-bit)", one a line. (Wine keeps the
# entry of a user's installation under HKLM too.)
installed() {
  for hive in HKLM HKCU; do
    wine_run reg query "$hive\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall" /s |
      awk '/^HKEY_/ { name = "" } /DisplayName +REG_SZ +Tarnwick \(64-bit\)$/ { name = 1 }
                           name && /DisplayVersion/ { print $3 }'
  done
}
msiexec() { wine_run msiexec "$@" /qn >/dev/null; }

# A prefix left by an earlier run starts clean. (Wine's msiexec removes a user's installation only
# when told ALLUSERS="", and one told ALLUSERS=1 forgets it but leaves its keys: hence the rest.)
standin=$base/Tarnwick-standin.msi
[[ -f $standin ]] && msiexec /x "$(windows_path "$standin")"
for scope in 'ALLUSERS=' 'ALLUSERS=1'; do
  msiexec /x "$(windows_path "$newer")" "$scope"
  msiexec /x "$(windows_path "$package")" "$scope"
done
# Wine's reg.exe now and then returns before the next process sees its change: look again.
for _ in 1 2 3; do
  [[ -z $(dump HKCU)$(dump HKLM) ]] && break
  for hive in HKCU HKLM; do
    for key in "${top_keys[@]}"; do wine_run reg delete "$hive\\Software\\Classes\\$key" /f >/dev/null; done
  done
  sleep 1
done
rm -rf "$WINEPREFIX/drive_c/Program Files/Tarnwick"
app_data=$(wine_run cmd /c echo %APPDATA%)
data_dir=$(wine_run winepath -u "$app_data")
data_dir=${data_dir%/}/OstrelAntiSpam
[[ -n $app_data && $data_dir == /* ]] || { echo "FAIL: no application-data folder ('$app_data')"; exit 1; }
rm -rf "$data_dir"

# For the machine (what wine does by default: its user is an administrator).
msiexec /i "$(windows_path "$package")" || fail "msiexec /i failed"
installed_dll=$(wine_run reg query "HKLM\\Software\\Classes\\CLSID\\$CLSID\\InprocServer32" /ve |
                awk -F '    ' '/REG_SZ/ { print $4 }')
folder=$(wine_run winepath -u "${installed_dll%\\*}")
folder=${folder%/}
[[ -n $installed_dll && -d $folder ]] || fail "no installed module registered ('$installed_dll')"
lean_module=$(dirname "$package")/package/Tarnwick.dll
cmp -s "$folder/Tarnwick.dll" "$lean_module" || fail "the installed module is not the lean one"
for seed in "${seeds[@]}"; do [[ -f $folder/$seed ]] || fail "$seed is not installed beside the module"; done
machine_entries=$(dump HKLM)
[[ -z $(dump HKCU) ]] || fail "a machine installation wrote under HKCU: $(dump HKCU)"
[[ $(installed) == "$version" ]] || fail "installed programs: '$(installed)', expected '$version'"

output=$(wine_run cscript //nologo "$(windows_path "$script")")
grep -qx "script client: all checks passed" <<<"$output" || fail "the script client failed: $output"
for seed in "${seeds[@]}"; do [[ -f $data_dir/$seed ]] || fail "the data folder was not seeded with $seed"; done

# A newer version replaces this one in place; an older one is refused.
msiexec /i "$(windows_path "$newer")" || fail "installing the newer package failed"
[[ $(installed) == "$newer_version" ]] || fail "after the upgrade: '$(installed)', expected '$newer_version'"
[[ $(dump HKLM) == "$machine_entries" ]] || fail "the upgrade changed the registration"
[[ -f $folder/Tarnwick.dll ]] || fail "the upgrade lost the module"
msiexec /i "$(windows_path "$package")" && fail "the older package installed over the newer one"
[[ $(installed) == "$newer_version" ]] || fail "after the refused downgrade: '$(installed)'"

msiexec /x "$(windows_path "$newer")" || fail "msiexec /x failed"
[[ -z $(dump HKLM) ]] || fail "keys left after removal: $(dump HKLM)"
[[ -e $folder ]] && fail "the install folder is left: $(ls -A "$folder")"
[[ -z $(installed) ]] || fail "still in the installed programs: $(installed)"
[[ -f $data_dir/ostrel.cfg ]] || fail "removal touched the user's data folder"

# The entries equal those regsvr32 writes for a module in the same place.
mkdir -p "$folder" && cp "$lean_module" "$folder/"
wine_run regsvr32 /s "$installed_dll" >/dev/null || fail "regsvr32 failed"
self_registered=$(dump HKLM)
wine_run regsvr32 /u /s "$installed_dll" >/dev/null
rm -rf "$folder"
diff <(sed 's/\\$//' <<<"$machine_entries") <(echo "$self_registered") >/dev/null ||
  fail "the package's entries differ from regsvr32's: $(diff <(echo "$machine_entries") <(echo "$self_registered"))"

# For the user: wine's msiexec takes ALLUSERS="" for that (Windows picks it by MSIINSTALLPERUSER).
# Wine's HKEY_CLASSES_ROOT does not show HKCU's classes, so no client runs here.
msiexec /i "$(windows_path "$package")" 'ALLUSERS=' || fail "msiexec /i for the user failed"
[[ $(dump HKCU) == "$machine_entries" ]] ||
  fail "the user's entries differ: $(diff <(echo "$machine_entries") <(dump HKCU))"
[[ -z $(dump HKLM) ]] || fail "a user installation wrote under HKLM"
[[ $(installed) == "$version" ]] || fail "installed programs: '$(installed)', expected '$version'"
msiexec /x "$(windows_path "$package")" 'ALLUSERS=' || fail "msiexec /x for the user failed"
[[ -z $(dump HKCU) ]] || fail "keys left after the user's removal: $(dump HKCU)"
[[ -z $(installed) ]] || fail "still in the installed programs: $(installed)"

# One bitness at a time: while a stand-in for the 32-bit package (this one with the two upgrade
# codes swapped, written beside it so that wixl finds the same files) is installed, this one is
# refused.
wxs_dir=$(dirname "$package")/package
sed -e 's/\(UpgradeCode="[^"]*\)64"/\1XX"/' -e 's/\(<Upgrade Id="[^"]*\)32"/\164"/' \
    -e 's/\(UpgradeCode="[^"]*\)XX"/\132"/' \
    -e 's/<Product Id="[^"]*"/<Product Id="5D1A3C1E-7A20-4B6F-8C11-0F2E9B7D4A32"/' \
    -e 's/Tarnwick (64-bit)/Tarnwick stand-in (32-bit)/' "$wxs_dir/Tarnwick-x64.wxs" >"$wxs_dir/standin.wxs"
wixl -a x64 -o "$standin" "$wxs_dir/standin.wxs" >/dev/null 2>&1 || fail "could not make the stand-in package"
rm -f "$wxs_dir/standin.wxs"
msiexec /i "$(windows_path "$standin")" || fail "the stand-in did not install"
msiexec /i "$(windows_path "$package")" && fail "installed beside the other bitness"
[[ -z $(installed) ]] || fail "in the installed programs beside the other bitness: $(installed)"
msiexec /x "$(windows_path "$standin")" || fail "the stand-in did not go"
[[ -z $(dump HKLM) ]] || fail "keys left after the stand-in's removal"

if ((failures)); then
  echo "package: $failures checks failed"
  exit 1
fi
echo "package: all checks passed"
