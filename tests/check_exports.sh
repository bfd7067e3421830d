#!/usr/bin/env bash
# Compares the dynamic symbols the library defines with the golden list, so that no exported
# name is lost and no internal one leaks. Run with UPDATE=1 to rewrite the list on purpose.
set -euo pipefail
lib=$1
golden=$2
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' | LC_ALL=C sort -u)
if [ "${UPDATE:-0}" = 1 ]; then
  printf '%s\n' "$actual" > "$golden"
  exit 0
fi
if ! diff -u "$golden" <(printf '%s\n' "$actual"); then
  echo "exported symbols differ from $golden (lines with - are missing, + are new)"
  exit 1
fi
echo "exported symbols: $(printf '%s\n' "$actual" | wc -l) match the golden list"
