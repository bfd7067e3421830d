#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Configures the project in scratch directories with the build options a user switches off, and
# checks that the targets that remain can be built: the runner alone takes the example models'
# library along (and no example program), and without the reference host no program that runs
# on it is made while the library still is.
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
[ "$fail" -eq 0 ] && echo "build options: the runner alone and the library without its host"
exit "$fail"
