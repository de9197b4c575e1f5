#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR (prefix /usr, as the Debian
# package does) and checks what a user gets: the three programs, the shipped
# files in share/tolvane, the desktop entry, icon, manual pages and the weekly
# scan's systemd user units (which `systemd-analyze verify` accepts, where it
# is installed). Then the installed `tolvane --headless` scans a fresh prefix
# and installs the shipped databases (and the Windows launcher) into it.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d /tmp/tolvane-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install"; }
root=$work/root/usr
for file in bin/tolvane bin/tolvane-reg bin/tolvane-db share/tolvane/database.db \
  share/applications/tolvane.desktop share/icons/hicolor/scalable/apps/tolvane.svg \
  share/man/man1/tolvane.1.gz share/man/man1/tolvane-reg.1.gz share/man/man1/tolvane-db.1.gz \
  lib/systemd/user/tolvane-scan.service lib/systemd/user/tolvane-scan.timer; do
  [ -e "$root/$file" ] || fail "not installed: /usr/$file"
done
for program in tolvane tolvane-reg tolvane-db; do
  "$root/bin/$program" --help >/dev/null || fail "$program --help"
done
grep -q '/usr/bin/tolvane --headless --no --all-machines scan smart' \
  "$root/lib/systemd/user/tolvane-scan.service" || fail "the service does not run the installed program"

# systemd-analyze comes with the systemd package, which install-deps installs.
command -v systemd-analyze >/dev/null || fail "systemd-analyze is not installed (package systemd)"
mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
verify=$(cd "$root/lib/systemd/user" && XDG_RUNTIME_DIR="$work/runtime" \
  systemd-analyze --user verify --man=no tolvane-scan.service tolvane-scan.timer 2>&1) ||
  fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify warned: $verify"
echo "systemd-analyze verify: both units pass"

# The installed databases are told apart from the build folder's: the
# definitions are packed again by the installed tolvane-db with another
# version, so that a program that took the build's copies fails below.
LC_ALL=C sed 's/<NA VERSION="[^"]*"/<NA VERSION="9.9.99"/' "$source/data/definitions.xml" \
  >"$work/definitions.xml"
"$root/bin/tolvane-db" pack "$work/definitions.xml" "$root/share/tolvane/database.db" \
  >/dev/null || fail "installed tolvane-db pack"
cmp -s "$root/share/tolvane/database.db" "$build/data/database.db" &&
  fail "the repacked database equals the build's"

# A fresh prefix (as far as Tolvane needs one) and the installed program,
# run from a folder outside the build.
prefix=$work/prefix
mkdir -p "$prefix/drive_c/Program Files" "$prefix/drive_c/windows/system32"
status=0
(cd "$work" && "$root/bin/tolvane" --headless --machine "$prefix" scan registry about) \
  >"$work/scan.log" 2>&1 || status=$?
[ "$status" = 0 ] || { cat "$work/scan.log"; fail "installed tolvane scan: status $status"; }
app="$prefix/drive_c/Program Files/Tolvane"
for db in database.db script.db; do
  [ -e "$root/share/tolvane/$db" ] || continue
  cmp -s "$root/share/tolvane/$db" "$app/$db" || fail "$db was not installed into the prefix"
done
if [ -e "$root/share/tolvane/Tolvane.exe" ]; then
  cmp -s "$root/share/tolvane/Tolvane.exe" "$app/Tolvane.exe" || fail "Tolvane.exe not in the prefix"
  [ "$(cat "$app/Tolvane.host")" = "$root/bin/tolvane" ] || fail "Tolvane.host: $(cat "$app/Tolvane.host")"
fi

# The weekly service's command as systemd runs it (its state folder given,
# "$$" read as "$"), for a user whose ~/.wine is that prefix: the report is
# where the README says.
home=$work/home
mkdir -p "$home/.local/state/tolvane"
mv "$prefix" "$home/.wine"
command=$(sed -n "s|^ExecStart=/bin/bash -c '\(.*\)'\$|\1|p" "$root/lib/systemd/user/tolvane-scan.service" |
  sed -e 's/\$\$/$/g' -e "s|/usr/bin/tolvane|$root/bin/tolvane|g")
[ -n "$command" ] || fail "no ExecStart in the service"
status=0
(cd "$work" && env -u WINEPREFIX -u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME="$home" \
  STATE_DIRECTORY="$home/.local/state/tolvane" bash -c "$command") >"$work/service.log" 2>&1 ||
  status=$?
[ "$status" = 0 ] || { cat "$work/service.log"; fail "the service's command: status $status"; }
grep -q "^== Total: 1 machines scanned" "$home/.local/state/tolvane/weekly-scan.txt" ||
  fail "no report in ~/.local/state/tolvane/weekly-scan.txt"
echo "installed into DESTDIR, scanned a fresh prefix, databases installed into it, weekly report written"
