#!/usr/bin/env bash
# The Debian package as a user meets it: made from the release build, installed with apt, the
# installed program run with a scratch home from a folder outside the repository (a real delivery,
# with TARNWICK_FAULT_AT set, which an installed build must ignore), its systemd units verified,
# then purged, leaving no file behind. Also `cmake --install` into a scratch prefix, run from there.
# Installs and removes the package tarnwick: as root (CI), else with sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build/release
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
fail() {
  echo "package-test: $*" >&2
  exit 1
}

if dpkg-query -W -f='${Status}' tarnwick 2>/dev/null | grep -q "installed"; then
  fail "the package tarnwick is installed already; this test would replace and remove it"
fi

cmake --preset release >/dev/null
cmake --build "$build" --target package -j2 >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/tarnwick_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || fail "no $deb"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-package.XXXXXX")
chmod 755 "$scratch"
cleanup() {
  if dpkg-query -W -f='${Status}' tarnwick 2>/dev/null | grep -q "installed"; then
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get purge -y -qq tarnwick >/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "==> apt-get install $deb"
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "$deb" >/dev/null

# The installed program, as a user starts it: anywhere, with nothing of the build around.
home=$scratch/home
mkdir -p "$home" "$scratch/Maildir"/{new,cur,tmp}
cd "$scratch"
as_user() { env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 "$@"; }

[[ $(as_user /usr/bin/tarnwick --version) == "tarnwick $version" ]] || fail "tarnwick --version says: $(as_user /usr/bin/tarnwick --version)"

as_user tarnwick config set EnableProtection true >/dev/null
# TARNWICK_FAULT_AT=1 fails the first file operation of a build with the fault seam: the message
# would not be stored (exit status 75).
printf 'From: Stranger <stranger@example.org>\nTo: me@home.example\nSubject: hello\nMessage-ID: <1@example.org>\n\nHi.\n' |
  as_user TARNWICK_FAULT_AT=1 tarnwick deliver --maildir "$scratch/Maildir" -f stranger@example.org -a me@home.example ||
  fail "deliver exited with $?"
[[ $(find "$scratch/Maildir/.Pending/new" "$scratch/Maildir/.Pending/cur" -type f | wc -l) == 1 ]] ||
  fail "the stranger's mail is not in .Pending"
[[ $(ls "$scratch/Maildir/.Outbox/new" | wc -l) == 1 ]] || fail "no challenge in .Outbox"
[[ -f $home/.local/share/OstrelAntiSpam/ostrel_original.cfg ]] || fail "the seed files did not reach the data folder"

[[ -f /usr/share/man/man1/tarnwick.1.gz && -f /usr/share/man/man5/tarnwick-config.5.gz ]] || fail "no man pages"
[[ -f /usr/share/bash-completion/completions/tarnwick ]] || fail "no bash completion"
if command -v systemd-analyze >/dev/null; then
  units=(/usr/lib/systemd/user/tarnwick-watch.service /usr/lib/systemd/user/tarnwick-watch-imap.service
         /usr/lib/systemd/user/tarnwick-run.service
         /usr/lib/systemd/user/tarnwick-run.timer)
  man=no
  command -v man >/dev/null && man=yes
  # It reports a value it cannot read without failing: any output is a fault.
  said=$(as_user XDG_RUNTIME_DIR="$scratch" systemd-analyze --user --man=$man verify "${units[@]}" 2>&1) ||
    fail "systemd-analyze verify: $said"
  [[ -z $said ]] || fail "systemd-analyze verify: $said"
fi

echo "==> apt-get purge tarnwick"
files=()
while IFS= read -r path; do
  [[ -d $path ]] || files+=("$path")
done < <(dpkg-query -L tarnwick)
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get purge -y -qq tarnwick >/dev/null
for path in "${files[@]}" /usr/lib/tarnwick /usr/share/tarnwick /usr/share/doc/tarnwick; do
  [[ ! -e $path ]] || fail "$path is left after purge"
done

# Installed by cmake into any prefix, the tree finds its module and seed files from where it lies.
echo "==> cmake --install into a scratch prefix"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
rm -rf "$home" && mkdir "$home"
as_user "$scratch/prefix/bin/tarnwick" config get EnableProtection >/dev/null || fail "the program installed by cmake cannot load its module"
[[ -f $home/.local/share/OstrelAntiSpam/ostrel_original.cfg ]] || fail "the seed files of the cmake installation did not reach the data folder"
echo "package-test: the package installs, works and goes cleanly"
