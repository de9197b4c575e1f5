#!/bin/sh
# Generates the table of start-up locations afresh and compares it with the
# checked-in one. Exit 77 (skipped) when the source snapshots are not there.
#   compare_generated_table.sh TOLVANE_DB THREAT_DATA TABLE OUT
set -u
tool=$1 data=$2 table=$3 out=$4
if [ ! -d "$data/recmd/BatchExamples" ] || [ ! -f "$data/forensic-artifacts/artifacts/data/windows.yaml" ]; then
  echo "skipped: no threat-data snapshots at $data (set TOLVANE_THREAT_DATA)"
  exit 77
fi
"$tool" startup-locations "$data/recmd/BatchExamples" \
  "$data/forensic-artifacts/artifacts/data/windows.yaml" -o "$out" || exit 1
if ! cmp -s "$table" "$out"; then
  echo "$table differs from a fresh generation ($out): run tolvane-db startup-locations again"
  exit 1
fi
