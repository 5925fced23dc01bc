#!/usr/bin/env bash
# Reads an installer package's tables back with msiinfo and fails when one is not what the
# package must hold: the module and the seed files, each in a component with a fixed GUID, the
# class registration under Software\Classes of root -1 (HKCU or HKLM as the install scope says), the dual-purpose
# scope, the upgrade code and the upgrade rows of the right bitness and version.
# Usage: check_msi.sh MSIINFO PACKAGE BITS VERSION
set -uo pipefail
msiinfo=$1 package=$2 bits=$3 version=$4
failures=0
fail() { echo "$package: $*" >&2; failures=$((failures + 1)); }
# A table's rows, without the three lines of column names, types and keys.
table() { "$msiinfo" export "$package" "$1" | tr -d '\r' | tail -n +4; }

upgrade_code="{6F3C2A19-84D5-4E7B-9A21-5C0D7E3B00$bits}"
clsid='{E77ED5AA-6ADB-4BE2-B83F-C50D0F499AD9}'
libid='{15D70401-BCED-4B0A-A522-EC8D1AF7ABFA}'
syskind=win$bits

files=$(table File)
for name in Tarnwick.dll ostrel_original.cfg MAILERDAEMON_subject.cfg MAILERDAEMON_header.cfg; do
  grep -qP "^[^\t]+\t[^\t]+\t$name\t" <<<"$files" || fail "no file $name"
done
[[ $(wc -l <<<"$files") == 4 ]] || fail "files other than the module and the three seed files"

components=$(table Component)
for guid in 00 01 02 03; do
  grep -qF "{0B7E4C62-3F19-4D8A-B5E0-71A9C2D4${guid}${bits}}" <<<"$components" ||
    fail "component GUID ..${guid}${bits} missing"
done
# The 64-bit package's components carry the 64-bit attribute (256), the 32-bit one's do not.
while IFS=$'\t' read -r id _ _ attributes _; do
  [[ $id == Module || $id == Seed* ]] || continue
  [[ $(((attributes & 256) != 0)) == $((bits == 64)) ]] || fail "component $id has attributes $attributes"
done <<<"$components"

registry=$(table Registry)
expect_row() {
  grep -qP "^[^\t]+\t-1\tSoftware\\\\Classes\\\\\Q$1\E\t\Q$2\E\t\Q$3\E\tModule$" <<<"$registry" ||
    fail "no registry row $1 [$2] = $3"
}
expect_row "CLSID\\$clsid\\InprocServer32" "" "[#TarnwickDll]"
expect_row "CLSID\\$clsid\\InprocServer32" ThreadingModel apartment
expect_row "CLSID\\$clsid\\ProgID" "" Tarnwick.MailerInterfaceTest.1
expect_row Tarnwick.MailerInterfaceTest\\CurVer "" Tarnwick.MailerInterfaceTest.1
expect_row Tarnwick.MailerInterfaceTest.1\\CLSID "" "$clsid"
expect_row "AppID\\Tarnwick.DLL" AppID "$libid"
expect_row "TypeLib\\$libid\\1.0\\0\\$syskind" "" "[#TarnwickDll]"
# A row under a fixed hive would ignore the install scope.
grep -qP "^[^\t]+\t(?!-1\tSoftware\\\\Classes\\\\)" <<<"$registry" &&
  fail "a registry row outside HKMU\\Software\\Classes"

properties=$(table Property)
grep -qxF "UpgradeCode	$upgrade_code" <<<"$properties" || fail "upgrade code is not $upgrade_code"
grep -qxF "ProductVersion	$version" <<<"$properties" || fail "product version is not $version"
grep -qxF "ALLUSERS	2" <<<"$properties" || fail "not dual-purpose (ALLUSERS)"
grep -qxF "MSIINSTALLPERUSER	1" <<<"$properties" || fail "not per-user by default (MSIINSTALLPERUSER)"
upgrade=$(table Upgrade)
grep -qF "$upgrade_code		$version" <<<"$upgrade" || fail "no upgrade row for versions below $version"
grep -qF "$upgrade_code	$version	" <<<"$upgrade" || fail "no downgrade row"
other_code="{6F3C2A19-84D5-4E7B-9A21-5C0D7E3B00$((96 - bits))}"
grep -qxF "$other_code	0.0.0.0			258		OTHER_BITNESS_FOUND" <<<"$upgrade" || fail "the other bitness is not detected"
grep -qF "NOT OTHER_BITNESS_FOUND" <<<"$(table LaunchCondition)" || fail "the other bitness does not stop the install"
"$msiinfo" suminfo "$package" | grep -qx "Template: $([[ $bits == 64 ]] && echo x64 || echo Intel);1033" ||
  fail "wrong platform in the summary"

((failures == 0))
