#!/usr/bin/env bash
# Prints the longest functions of the product code (tests, test support,
# benchmarks and fuzz targets left out), longest first.
#
#   scripts/longest-functions.sh [COUNT] [SOURCE_DIR]   (default: 10, this checkout)
#
# Lengths are in lines from the signature to the closing brace, as Universal
# Ctags finds them.
set -euo pipefail
case "${1:-}" in
    -h | --help)
        sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
esac
count=${1:-10}
root=${2:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"
git ls-files '*.cpp' '*.h' |
    grep -vE '(^|/)(tests|bench|fuzz|testing)/|test' |
    xargs ctags --c++-kinds=f --fields=+ne -o - 2>/dev/null |
    awk -F'\t' '{
        line = ""; end = ""
        for (i = 4; i <= NF; ++i) {
            if ($i ~ /^line:/) line = substr($i, 6)
            if ($i ~ /^end:/) end = substr($i, 5)
        }
        if (line != "" && end != "") {
            scope = ""
            for (i = 4; i <= NF; ++i) if ($i ~ /^(class|struct):/) { scope = $i; sub(/^[^:]*:/, "", scope); sub(/.*::/, "", scope); scope = scope "::" }
            printf "%d\t%s:%s\t%s%s\n", end - line + 1, $2, line, scope, $1
        }
    }' | sort -rn | head -n "$count"
