#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs the Debian packages the build needs, when they are missing. Runs as root on a fresh
# machine (apt-get); does nothing when everything is there already. With --bench it also
# installs what only the benchmarks use (ColPack, the grouping benchmark's peer), with --lint the
# checkers of `make lint` (clang-tidy, clang-format); `install-deps.sh docs` installs what the API
# reference needs; `--windows` installs only what the Windows builds need (the mingw-w64 cross
# compilers, wine64 to run the 64-bit tests, Eigen for the reference host's sparse LU,
# GoogleTest's sources, and the header-only toml++ and nlohmann-json).
set -euo pipefail
packages=(cmake make g++ binutils libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
          libsuitesparse-dev pkg-config gfortran clang libclang-rt-dev libtomlplusplus-dev
          nlohmann-json3-dev librsvg2-bin dpkg dpkg-dev file)
[ "${1:-}" = "--bench" ] && packages+=(libcolpack-dev)
[ "${1:-}" = "--lint" ] && packages+=(clang-tidy clang-format git)
if [ "${1:-}" = docs ]; then
  packages=(doxygen)
fi
if [ "${1:-}" = --windows ]; then
  packages=(cmake make binutils g++-mingw-w64-i686 g++-mingw-w64-x86-64 gfortran-mingw-w64-i686
            wine64 libeigen3-dev googletest libtomlplusplus-dev nlohmann-json3-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
