#!/usr/bin/env bash
# The weekly service's command as systemd runs it ("$$" read as "$", its
# state folder given), with a stand-in for the program, against what a
# program of a prefix (running as this user) can plant in the state folder:
# a pipe or a link under the report's names, the folder itself as a link.
# Each run must end (a pipe must not block it; `timeout` only keeps a
# broken command from hanging the suite), write nothing through a link and
# say what it refused.
#   weekly_service_test.sh SOURCE_DIR
set -euo pipefail
source=$1
work=$(mktemp -d /tmp/tolvane-weekly-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

program=$work/tolvane
printf '#!/bin/sh\necho "== Total: 1 machines scanned"\necho "ran: $*"\nexit 1\n' >"$program"
chmod +x "$program"
command=$(sed -n "s|^ExecStart=/bin/bash -c '\(.*\)'\$|\1|p" "$source/packaging/tolvane-scan.service.in" |
  sed -e 's/\$\$/$/g' -e "s|@TOLVANE_BIN@|$program|g")
[ -n "$command" ] || fail "no ExecStart in the service"
grep -q '^TimeoutStartSec=' "$source/packaging/tolvane-scan.service.in" || fail "the service has no time limit"

state=$work/state
status=0
run() { # run STATE_FOLDER: the command's status in $status, its output in $work/out
  status=0
  STATE_DIRECTORY="$1" timeout 120 bash -c "$command" >"$work/out" 2>&1 || status=$?
  [ "$status" != 124 ] || fail "the service's command hung"
}

mkdir -m 755 "$state"
run "$state"
[ "$status" = 1 ] || fail "plain run: status $status"
grep -q "^== Total: 1 machines scanned" "$state/weekly-scan.txt" || fail "no report written"
grep -q "^ran: --headless --no --all-machines startup --weekly" "$state/weekly-scan.txt" ||
  fail "the report lists no start-up entries new since last week"
[ "$(stat -c %a "$state")" = 700 ] || fail "state folder is $(stat -c %a "$state"), not 700"
[ "$(stat -c %a "$state/weekly-scan.txt")" = 600 ] || fail "report is not 600"

# The old command's temporary name as a pipe blocks nothing now.
mkfifo "$state/weekly-scan.txt.new"
run "$state"
[ "$status" = 1 ] || fail "pipe at weekly-scan.txt.new: status $status"

# A pipe and a link as the report: left alone, the refusal said, the report
# in the output (the journal), no temporary file left behind.
rm -f "$state/weekly-scan.txt"
mkfifo "$state/weekly-scan.txt"
run "$state"
[ "$status" = 2 ] || fail "pipe as the report: status $status"
[ -p "$state/weekly-scan.txt" ] || fail "the pipe was replaced"
grep -q "weekly-scan.txt is a link or not a plain file" "$work/out" || fail "refusal not said"
grep -q "^== Total: 1 machines scanned" "$work/out" || fail "the report is not in the journal"
rm -f "$state/weekly-scan.txt"
echo untouched >"$work/victim"
ln -s "$work/victim" "$state/weekly-scan.txt"
run "$state"
[ "$status" = 2 ] || fail "link as the report: status $status"
[ "$(cat "$work/victim")" = untouched ] || fail "written through the link"
[ -z "$(find "$state" -name '.weekly-scan.*')" ] || fail "a temporary file was left"

# The state folder itself as a link: nothing written where it leads.
mkdir "$work/elsewhere"
ln -s "$work/elsewhere" "$work/linked-state"
run "$work/linked-state"
[ "$status" = 2 ] || fail "linked state folder: status $status"
[ -z "$(ls -A "$work/elsewhere")" ] || fail "written through the linked state folder"
grep -q "is not a folder of this user" "$work/out" || fail "linked state folder: refusal not said"
echo "weekly service: report replaced by rename; pipes, links and a linked state folder refused"
