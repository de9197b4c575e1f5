#!/usr/bin/env bash
# `make run`: Tolvane on the demo machine. The demo machine (a small Wine-style
# prefix with Tolvane installed and the traces of every demo threat planted,
# made by tolvane-demo) is created when it is missing. With a display and the
# desktop program built, the window opens on it; otherwise a headless Smart
# Scan prints what it recognised.
#   scripts/run-demo.sh [BUILD]      (TOLVANE_DEMO_DIR chooses the machine's folder)
set -eu
build=${1:-build}
demo=${TOLVANE_DEMO_DIR:-${TMPDIR:-/tmp}/tolvane-demo-machine}

if [ ! -x "$build/tools/tolvane-demo" ] || [ ! -x "$build/bin/tolvane" ]; then
    echo "run-demo: $build/tools/tolvane-demo or $build/bin/tolvane is not built" >&2
    exit 1
fi
if [ ! -e "$demo/.tolvane-demo" ]; then
    "$build/tools/tolvane-demo" create "$demo"
else
    echo "demo machine: $demo (start afresh with: $build/tools/tolvane-demo reset $demo)"
fi

# `tolvane` without --headless opens the window; it needs a display and a
# build with the desktop program (TOLVANE_QT, on by default).
window=yes
if [ -f "$build/CMakeCache.txt" ] && grep -q '^TOLVANE_QT:BOOL=OFF' "$build/CMakeCache.txt"; then
    window=""
fi
if [ -n "$window" ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    status=0
    "$build/bin/tolvane" --machine "$demo" || status=$?
    # Qt aborts at once when the display cannot be opened: scan headless then.
    if [ "$status" -le 1 ]; then exit 0; fi
    if [ "$status" -lt 128 ]; then exit "$status"; fi
    echo "run-demo: the window could not be opened on this display" >&2
fi
echo "Smart Scan of the demo machine (headless):"
# The scan's status says what it found (1: threats listed, as the demo
# machine's are); the demo ran when the scan did, so only an error (2 and
# above) fails it.
status=0
"$build/bin/tolvane" --headless --machine "$demo" scan smart || status=$?
if [ "$status" -le 1 ]; then exit 0; fi
echo "run-demo: the scan failed (exit status $status)" >&2
exit "$status"
