#!/usr/bin/env bash
# Makes the Debian package with CPack and checks it with lintian: no errors.
# Exit 77 (skipped) where lintian or dpkg-deb is missing.
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
lintian --fail-on error "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1
