#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Checks that a program imports from a DLL exactly the names of a list (sorted, one a line).
# Usage: check_imports.sh OBJDUMP PROGRAM DLL LIST
set -euo pipefail
objdump=$1 program=$2 dll=$3 list=$4
imports=$("$objdump" -p "$program" | sed -n "/DLL Name: $dll/,/^\$/p" |
          awk 'NF >= 3 && $1 ~ /^[0-9a-f]+$/ {print $NF}' | LC_ALL=C sort -u)
if ! diff -u "$list" <(printf '%s\n' "$imports"); then
  echo "$program does not import exactly the names of $list from $dll"
  exit 1
fi
echo "$program imports all $(wc -l < "$list") names of $list from $dll"
