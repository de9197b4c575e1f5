#!/usr/bin/env bash
# Runs every fuzz target a few seconds over its seed corpus (new inputs go
# to a temporary folder, the committed corpus stays as it is). Fails on the
# first finding. The hive target's seeds are written here by regf_hive_seeds
# (no hive files are committed).
#   fuzz/smoke.sh [BUILD_DIR [SECONDS]]     defaults: build-fuzz, 5
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
seconds=${2:-5}
targets=(definitions update_description script_db wine_hive registry_import ignore_list
  restore_manifest archive_extract regf_hive ioc_list misp content startup_readers
  pe_facts path_expressions)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/fuzz/regf_hive_seeds" "$work/regf_hive_seeds"
for target in "${targets[@]}"; do
  binary="$build/fuzz/${target}_fuzz"
  mkdir -p "$work/$target"
  seeds="fuzz/corpus/$target"
  max_len=8192
  if [ "$target" = regf_hive ]; then
    seeds="$work/regf_hive_seeds"
    max_len=65536  # a hive is at least 8 KiB: a header block and a bin
  fi
  echo "== ${target}_fuzz: ${seconds} s"
  "$binary" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/$target" "$seeds" 2>"$work/log" || {
    cat "$work/log"
    echo "${target}_fuzz: FINDING (reproducer above, in $work)" >&2
    trap - EXIT
    exit 1
  }
  grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss_mb)" "$work/log" || true
done
echo "fuzz smoke: all ${#targets[@]} targets ran ${seconds} s without a finding"
