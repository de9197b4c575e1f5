#!/usr/bin/env bash
# Makes the Debian package with CPack, checks that its Depends name the
# package of every library the programs link, and runs lintian: no errors.
# Exit 77 (skipped) where lintian or dpkg-deb is missing. A hardened build
# (TOLVANE_HARDENING) must also leave no informational hardening tag.
#   lintian_test.sh BUILD_DIR
set -euo pipefail
build=$1
for tool in lintian dpkg-deb cpack; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed: skipped"; exit 77; }
done
work=$(mktemp -d /tmp/tolvane-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/*.deb)
dpkg-deb -f "$deb" Package Version Depends

# Every library the programs link comes from a package it depends on.
depends=" $(dpkg-deb -f "$deb" Depends | sed 's/ ([^)]*)//g; s/,/ /g') "
dpkg-deb -x "$deb" "$work/root"
for lib in $(objdump -p "$work"/root/usr/bin/* | awk '/NEEDED/ {print $2}' | sort -u); do
  # The readers take the first line but read to the end: one that stops early
  # leaves its writer a SIGPIPE, which pipefail turns into a silent exit.
  path=$(ldconfig -p | awk -v lib="$lib" '$1 == lib && !found {print $NF; found = 1}')
  owner=$({ dpkg -S "$path" || dpkg -S "$(readlink -f "$path")"; } 2>/dev/null |
    awk -F: 'NR == 1 {print $1}')
  [ -n "$owner" ] || { echo "FAIL: no package holds $lib"; exit 1; }
  [[ "$depends" == *" $owner "* ]] || { echo "FAIL: $lib comes from $owner, not in Depends"; exit 1; }
done
echo "Depends covers every linked library"
lintian --fail-on error "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1
if grep -q '^TOLVANE_HARDENING:BOOL=ON$' "$build/CMakeCache.txt"; then
  tags=$(lintian -I "$deb" 2>&1 | grep ' hardening-' || true)
  [ -z "$tags" ] || { echo "FAIL: $tags"; exit 1; }
  echo "no hardening tags"
fi
