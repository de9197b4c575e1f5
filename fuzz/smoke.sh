#!/usr/bin/env bash
# Runs every fuzz target a few seconds over its seed corpus (new inputs go
# to a temporary folder, the committed corpus stays as it is). Fails on the
# first finding.
#   fuzz/smoke.sh [BUILD_DIR [SECONDS]]     defaults: build-fuzz, 5
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
seconds=${2:-5}
targets=(definitions update_description script_db wine_hive registry_import ignore_list
  restore_manifest archive_extract)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in "${targets[@]}"; do
  binary="$build/fuzz/${target}_fuzz"
  mkdir -p "$work/$target"
  echo "== ${target}_fuzz: ${seconds} s"
  "$binary" -max_total_time="$seconds" -max_len=8192 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/$target" "fuzz/corpus/$target" 2>"$work/log" || {
    cat "$work/log"
    echo "${target}_fuzz: FINDING (reproducer above, in $work)" >&2
    trap - EXIT
    exit 1
  }
  grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss_mb)" "$work/log" || true
done
echo "fuzz smoke: all ${#targets[@]} targets ran ${seconds} s without a finding"
