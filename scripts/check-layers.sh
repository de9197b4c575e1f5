#!/usr/bin/env bash
# Checks that each folder uses only the folders below it: a file may include
# the headers of its own layer and of lower layers, never of a higher layer or
# of another layer at the same height, and nothing outside ui/qt/ includes Qt.
# Tests (files with "test" in their name) may also use testing/.
#
#   scripts/check-layers.sh [SOURCE_DIR]   check the tree (default: this checkout)
#   scripts/check-layers.sh --table        print the table of layers
#   scripts/check-layers.sh --self-test    show that a bad tree fails the check
#
# Exit status: 0 clean, 1 a file breaks the layering (each one is printed),
# 2 bad usage.
set -euo pipefail

# Height and folder, lowest first. Folders at one height stand side by side
# and may not use each other. A file belongs to the longest folder that holds
# it; the top (99) may use everything.
layers() {
    cat <<'EOF'
0 base
1 host
2 machine
3 machine/wine
3 machine/windows
4 discovery
5 testing
6 regfile
7 definitions
8 settings
9 scan
10 removal
10 startup
11 backup
11 script
11 update
12 app/views
13 app
14 ui/headless
14 ui/qt
15 program
99 tools
99 tests
99 bench
99 fuzz
EOF
}

usage() {
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
}

# check ROOT: prints each offending include as FILE:LINE: reason; fails when
# there is one.
check() {
    local root=$1
    local folders=()
    while read -r _ folder; do
        # Nested layers are searched with their parent.
        [[ -d "$root/$folder" && "$folder" != */* ]] && folders+=("$folder")
    done < <(layers)
    if [[ ${#folders[@]} -eq 0 ]]; then
        echo "check-layers: no layer folder under $root" >&2
        return 2
    fi
    (cd "$root" && grep -rHnE --include='*.cpp' --include='*.h' \
        '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' "${folders[@]}") |
        awk -v table="$(layers)" '
        BEGIN {
            n = split(table, rows, "\n")
            for (i = 1; i <= n; ++i) {
                split(rows[i], f, " ")
                height[f[2]] = f[1] + 0
            }
        }
        # The layer of a path: its longest folder in the table ("" if none).
        function layer_of(path,    best, name) {
            best = ""
            for (name in height)
                if (index(path, name "/") == 1 && length(name) > length(best)) best = name
            return best
        }
        {
            file = $0; sub(/:.*/, "", file)
            rest = substr($0, length(file) + 2)
            line = rest; sub(/:.*/, "", line)
            text = substr(rest, length(line) + 2)
            own = layer_of(file)
            if (match(text, /<Q[A-Za-z]*/) && own != "ui/qt") {
                print file ":" line ": Qt outside ui/qt/: " text
                bad = 1
                next
            }
            if (!match(text, /"[^"]+"/)) next
            header = substr(text, RSTART + 1, RLENGTH - 2)
            other = layer_of(header)
            if (other == "" || other == own || height[own] == 99) next
            base = file; sub(/.*\//, "", base)
            if (other == "testing" && base ~ /test/) next
            if (height[other] > height[own]) {
                print file ":" line ": " own "/ (height " height[own] ") includes " header \
                      " of " other "/ above it (height " height[other] ")"
                bad = 1
            } else if (height[other] == height[own]) {
                print file ":" line ": " own "/ includes " header " of " other \
                      "/ beside it (both at height " height[own] ")"
                bad = 1
            }
        }
        END { exit bad }'
}

# A tree with one upward include and one Qt include outside ui/qt/ must fail
# the check with both named; the same tree without them must pass.
self_test() {
    local tree
    tree=$(mktemp -d)
    trap 'rm -rf "$tree"' RETURN
    mkdir -p "$tree/machine/wine" "$tree/machine/windows" "$tree/scan" "$tree/app" "$tree/ui/qt"
    printf '#include "machine/registry.h"\n' >"$tree/scan/scan_engine.cpp"
    printf '#include "machine/hive_tree.h"\n' >"$tree/machine/windows/regf_hive.cpp"
    printf '#include "machine/hive_tree.h"\n' >"$tree/machine/wine/wine_hive.cpp"
    printf '#include <QWidget>\n#include "app/application.h"\n' >"$tree/ui/qt/window.cpp"
    printf '#include "scan/scan_engine.h"\n' >"$tree/app/application.cpp"
    if ! check "$tree" >/dev/null; then
        echo "self-test: a clean tree failed the check" >&2
        return 1
    fi
    printf '#include "scan/scan_engine.h"\n' >"$tree/machine/registry.cpp"
    printf '#include "machine/wine/wine_hive.h"\n' >>"$tree/machine/windows/regf_hive.cpp"
    printf '#include <QString>\n' >"$tree/app/main_controller.cpp"
    local output
    if output=$(check "$tree"); then
        echo "self-test: a tree with an upward include, a back-end using the other and Qt in app/ passed the check" >&2
        return 1
    fi
    if ! grep -q '^machine/registry.cpp:1: machine/ .*scan/scan_engine.h' <<<"$output" ||
        ! grep -q '^machine/windows/regf_hive.cpp:2: machine/windows/ includes machine/wine/wine_hive.h of machine/wine/ beside it' <<<"$output" ||
        ! grep -q '^app/main_controller.cpp:1: Qt outside ui/qt/' <<<"$output"; then
        echo "self-test: the check did not name all three faults:" >&2
        echo "$output" >&2
        return 1
    fi
    echo "self-test: the check fails on an upward include, on one back-end using the other and on Qt outside ui/qt/"
}

case "${1:-}" in
    -h | --help) usage ;;
    --table) layers ;;
    --self-test) self_test ;;
    -*)
        echo "check-layers: unknown option $1" >&2
        usage >&2
        exit 2
        ;;
    *) check "${1:-$(cd "$(dirname "$0")/.." && pwd)}" ;;
esac
