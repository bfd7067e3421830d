#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the host project of tests/windows/utf8host, which takes kvoblk in as a subdirectory and
# asks for the UTF-8 code page manifest, and checks that its program carries the manifest.
# Arguments: cmake, the host project's sources, kvoblk's sources, scratch directory, toolchain file.
set -euo pipefail
cmake=$1 src=$2 kvoblk=$3 work=$4 toolchain=$5
rm -rf "$work"
"$cmake" -S "$src" -B "$work" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKVOBLK_SOURCE="$kvoblk" \
      -DCMAKE_BUILD_TYPE=Release > "$work.log" 2>&1 || { cat "$work.log"; exit 1; }
"$cmake" --build "$work" --target host > "$work.log" 2>&1 || { cat "$work.log"; exit 1; }
exe=$(find "$work" -name host.exe | head -n 1)
[ -n "$exe" ] || { echo "no host.exe was made"; exit 1; }
grep -aq '<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8' \
     "$exe" || { echo "$exe carries no UTF-8 code page manifest"; exit 1; }
echo "host.exe carries the UTF-8 code page manifest"
