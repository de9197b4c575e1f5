#!/usr/bin/env bash
# Installs the Debian packages Tolvane needs to build and test.
# Idempotent: does nothing when every package is present.
#   --with-wine   also installs Wine and the mingw-w64 compiler for the real-Wine tests
#   --check       only report what is missing (exit 1 when something is)
set -eu
packages=(cmake make g++ clang clang-format pkg-config zlib1g-dev libdeflate-dev libminizip-dev libmozjs-102-dev
  qt6-base-dev libcurl4-openssl-dev libssl-dev nlohmann-json3-dev googletest libgtest-dev libgmock-dev
  libbenchmark-dev libpugixml-dev libclang-rt-14-dev xvfb libyaml-cpp-dev lintian systemd libyara-dev
  clamav-daemon
  liblnk-dev libhivex-dev libhivex-bin libwin-hivex-perl chntpw libregf-utils bindfs squashfuse)
check_only=0
for arg in "$@"; do
  case "$arg" in
    --with-wine) packages+=(wine gcc-mingw-w64-x86-64) ;;
    --check) check_only=1 ;;
    -h|--help)
      sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "install-deps.sh: unknown option '$arg' (try --help)" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$check_only" = 1 ]; then
  echo "missing packages: ${missing[*]}" >&2; exit 1
fi
if [ "$(id -u)" != 0 ]; then
  echo "install-deps.sh: these packages are missing: ${missing[*]}" >&2
  echo "Run as root:  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
