#!/usr/bin/env bash
# Runs the main job on the demo machine with what is built so far.
set -eu
build=${1:-build}
echo "Tolvane is built in $build. The demo machine arrives with the application issue."
ls "$build/tools" 2>/dev/null | grep -E '^tolvane' || true
