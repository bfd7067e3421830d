#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Configures the project in scratch directories with the build options a user switches off, and
# checks that the targets that remain can be built: the runner alone takes the example models'
# library along (and no example program), without the reference host no program that runs on it
# is made while the library still is, and a project that takes kvoblk in keeps its own targets
# and packaging.
# Arguments: source directory, scratch directory.
set -uo pipefail
src=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
fail=0
targets() {  # build directory: one target name a line
  cmake --build "$1" --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p'
}
has() { grep -qx "$2" <<< "$1" || { echo "$3: no target $2"; fail=1; }; }
lacks() { if grep -qx "$2" <<< "$1"; then echo "$3: target $2 is made"; fail=1; fi; }

off="-DKVOBLK_BUILD_TESTS=OFF -DKVOBLK_BUILD_BENCHMARKS=OFF -DKVOBLK_BUILD_FUZZERS=OFF"
if cmake -S "$src" -B "$work/tools" $off -DKVOBLK_BUILD_EXAMPLES=OFF -DKVOBLK_BUILD_TOOLS=ON \
     > "$work/tools.log" 2>&1; then
  t=$(targets "$work/tools")
  has "$t" kvoflow "runner without examples"
  has "$t" examplemodels "runner without examples"
  lacks "$t" flowsheet "runner without examples"
else
  echo "runner without examples: configuration failed (see $work/tools.log)"; fail=1
fi

if cmake -S "$src" -B "$work/norefhost" -DKVOBLK_REFHOST=OFF > "$work/norefhost.log" 2>&1; then
  t=$(targets "$work/norefhost")
  has "$t" kvoblk "without the reference host"
  for p in kvorefhost examplemodels kvoflow flowsheet test_kvblk kvotestsupport; do
    lacks "$t" "$p" "without the reference host"
  done
  grep -q "KVOBLK_BUILD_TESTS is ignored" "$work/norefhost.log" ||
    { echo "without the reference host: the ignored options are not named"; fail=1; }
else
  echo "without the reference host: configuration failed (see $work/norefhost.log)"; fail=1
fi
# Taken in with add_subdirectory by a project with its own `docs` target and packaging: the
# configuration succeeds and the enclosing project's packaging stays its own. A stand-in for
# Doxygen makes the documentation target appear whether Doxygen is installed or not.
mkdir -p "$work/parent"
printf '#!/bin/sh\n[ "$2" = -g ] && : > "$3"\necho 1.9.4\n' > "$work/parent/doxygen"
chmod +x "$work/parent/doxygen"
cat > "$work/parent/CMakeLists.txt" << EOF
cmake_minimum_required(VERSION 3.21)
project(simulator VERSION 2.3.1 LANGUAGES C CXX)
add_custom_target(docs)
set(CPACK_PACKAGE_NAME simulator)
include(CPack)
add_subdirectory("$src" kvoblk)
EOF
if cmake -S "$work/parent" -B "$work/parent/build" -DDOXYGEN_EXECUTABLE="$work/parent/doxygen" \
     > "$work/parent.log" 2>&1; then
  t=$(targets "$work/parent/build")
  has "$t" kvoblk "taken in with add_subdirectory"
  lacks "$t" test_kvblk "taken in with add_subdirectory"
  grep -q 'CPACK_PACKAGE_NAME "simulator"' "$work/parent/build/CPackConfig.cmake" ||
    { echo "taken in with add_subdirectory: the enclosing project's packaging is replaced"; fail=1; }
else
  echo "taken in with add_subdirectory: configuration failed (see $work/parent.log)"; fail=1
fi
[ "$fail" -eq 0 ] &&
  echo "build options: the runner alone, the library without its host, and taken in by a project"
exit "$fail"
