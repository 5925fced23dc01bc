#!/usr/bin/env bash
# Installs the Debian packages the project needs, by group. Idempotent: when all is present it
# only checks and returns.
#
#   scripts/bootstrap.sh [GROUP...]     the linux group, and the groups named
#
#   linux     the Linux build (the native and release presets), its tests and the demo
#   windows   the Windows tool chain (mingw-w64), wine and the installer tools (wixl, msitools)
#   package   the man pages and the Debian package (scdoc, dpkg-dev)
#   recipes   the mail programs that the delivery recipes' tests run for real
#   tools     formatting, the fuzz targets and the benchmark scripts
#   all       every group (scripts/test-all.sh)
set -euo pipefail

declare -A groups=(
  [linux]="build-essential cmake pkg-config googletest libgtest-dev libbenchmark-dev
           libgmime-3.0-dev libpsl-dev publicsuffix
           libetpan-dev libgnutls28-dev libsasl2-modules openssl python3-aiosmtpd dovecot-imapd"
  [windows]="g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools wine wine64 libwine-dev
             wixl msitools"
  [package]="scdoc dpkg-dev"
  [recipes]="procmail maildrop dovecot-core dovecot-sieve postfix"
  [tools]="clang libclang-rt-14-dev clang-format strace time python3"
)

wanted=(linux)
for group in "$@"; do
  if [[ $group == all ]]; then
    wanted+=("${!groups[@]}")
  elif [[ -n ${groups[$group]:-} ]]; then
    wanted+=("$group")
  else
    echo "bootstrap: unknown group $group (use: ${!groups[*]} all)" >&2
    exit 2
  fi
done

missing=()
for group in "${wanted[@]}"; do
  for p in ${groups[$group]}; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
done

if ((${#missing[@]})); then
  # A package named by two groups is asked for once.
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  echo "bootstrap: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
