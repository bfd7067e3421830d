#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Compares the dynamic symbols the library defines with the golden list, which is also the list
# the library's version script is made from: a name marked for export whose definition went
# missing shows here as a missing line, and anything the list does not hold must never appear.
# To export a new name, add it to the list (sorted) together with its KVOBLK_API declaration.
set -euo pipefail
lib=$1
golden=$2
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' | LC_ALL=C sort -u)
if ! diff -u "$golden" <(printf '%s\n' "$actual"); then
  echo "exported symbols differ from $golden (lines with - are missing, + are new)"
  exit 1
fi
# The host's functions are bound when they are first called, so that a host may leave out the
# services its models never reach: the library takes the address of no host function, only of
# the host's data (the workspace base, the two devices) and of the pattern vector's type. Host
# symbols are the undefined ones without a version (reserved names belong to the tool chain).
host=$(nm -D --undefined-only "$lib" | awk '{print $2}' | grep -v '@' | LC_ALL=C sort -u)
early=$(readelf -rW "$lib" | awk '$3 ~ /GLOB_DAT|_64$|ABS64$/ {print $5}' | LC_ALL=C sort -u)
taken=$(LC_ALL=C comm -12 <(printf '%s\n' "$host") <(printf '%s\n' "$early") |
        grep -v -E '^(ib0|kvHisDev|kvRepDev|_ZTI18KVJacPatternVector|_ITM_.*|__.*)$' || true)
if [ -n "$taken" ]; then
  echo "the library takes the address of host functions, which a host must then define:"
  printf '%s\n' "$taken"
  exit 1
fi
echo "exported symbols: $(printf '%s\n' "$actual" | wc -l) match the golden list"
echo "host functions are bound at their first call"

