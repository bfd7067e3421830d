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
echo "exported symbols: $(printf '%s\n' "$actual" | wc -l) match the golden list"
