#!/usr/bin/env bash
# Regenerates data/definitions.xml, the shipped definitions: the demo threats
# of data/demo_threats.xml followed by the definitions tolvane-db import makes
# of the three public sources NOTICE names (less the entries a clean machine
# holds, data/clean-machine.txt, and those naming a stock Windows object,
# data/clean-windows.txt; data/stock-file-names.txt tells which names are
# too common to stand without a rule's condition on the writing program),
# data/content-rules.yar, the YARA rules kept
# (the build compiles them into database.db), and data/threat-data-report.json,
# what the import left out and why.
#   scripts/import-threat-data.sh SOURCES [BUILD]
# SOURCES holds the snapshots in the layout they are published in:
#   SOURCES/sigma/            the Sigma rules (rules*/ folders)
#   SOURCES/signature-base/filename-iocs.txt, hash-iocs.txt, yara/
#   SOURCES/reversinglabs/yara/ ReversingLabs' YARA rules
#   SOURCES/eset/FAMILY/*.json  the MISP events of ESET's malware-ioc
#   SOURCES/clean-windows/user-software-keys.txt  a real user's Software keys
# BUILD is the build folder holding tools/db/tolvane-db (default: build).
set -eu
if [ $# -lt 1 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
  sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; [ $# -ge 1 ] && exit 0 || exit 2
fi
sources=$1
build=${2:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
tool="$build/tools/db/tolvane-db"
[ -x "$tool" ] || { echo "import-threat-data.sh: build tolvane-db first ($tool)" >&2; exit 1; }
for need in sigma signature-base/filename-iocs.txt signature-base/hash-iocs.txt \
  signature-base/yara reversinglabs/yara eset clean-windows/user-software-keys.txt; do
  [ -e "$sources/$need" ] || { echo "import-threat-data.sh: $sources/$need is missing" >&2; exit 1; }
done
drl="Under the Detection Rule License 1.1 (https://github.com/SigmaHQ/Detection-Rule-License)."
mapfile -t events < <(find "$sources/eset" -name '*.json' | LC_ALL=C sort)
"$tool" import \
  --include "$root/data/demo_threats.xml" \
  --clean "$root/data/clean-machine.txt" \
  --clean-windows "$root/data/clean-windows.txt" \
  --clean-windows-keys "$sources/clean-windows/user-software-keys.txt" \
  --stock-names "$root/data/stock-file-names.txt" \
  --sigma "$sources/sigma" \
    --url https://github.com/SigmaHQ/sigma/blob/8eaafff \
    --license "$drl" \
  --filename-iocs "$sources/signature-base/filename-iocs.txt" \
    --url https://github.com/Neo23x0/signature-base/blob/8a89b3b/iocs/filename-iocs.txt \
    --author "Florian Roth (signature-base)" \
    --license "$drl" \
  --hashes "$sources/signature-base/hash-iocs.txt" \
    --url https://github.com/Neo23x0/signature-base/blob/8a89b3b/iocs/hash-iocs.txt \
    --author "Florian Roth (signature-base)" \
    --license "$drl" \
  --yara "$sources/signature-base/yara" \
    --url https://github.com/Neo23x0/signature-base/blob/8a89b3b/yara \
    --license "$drl" \
  --yara "$sources/reversinglabs/yara" \
    --url https://github.com/reversinglabs/reversinglabs-yara-rules/blob/d5a78f3/yara \
    --license "Copyright (c) ReversingLabs, under the MIT License (licenses/reversinglabs-yara-rules-LICENSE)." \
  --misp "${events[@]}" \
    --url https://github.com/eset/malware-ioc/blob/f9c1102 \
    --license "Copyright (c) 2014-2018 ESET spol. s r.o., under the BSD 2-Clause License (licenses/eset-malware-ioc-LICENSE)." \
  -o "$root/data/definitions.xml" \
  --rules-out "$root/data/content-rules.yar" \
  --report "$root/data/threat-data-report.json"
