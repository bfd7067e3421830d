#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Compares the export table of kvoblk.dll, read with objdump, with the golden lists: the names
# of tests/golden/exports.txt (the same as every platform's) and, for the 32-bit DLL, the
# decorated stdcall names of the Fortran entry points. A class marked for export on Windows also
# exports its table of construction vtables (_ZTT) and keeps its type-name string (_ZTS) local;
# virtual-call thunks (_ZTv, _ZTh) carry the platform's offsets in their names. Those are left
# out of the comparison, everything else must match the ELF library's list.
# Usage: check_exports.sh OBJDUMP DLL GOLDEN [DECORATED-GOLDEN]
set -euo pipefail
objdump=$1 dll=$2 golden=$3 decorated=${4:-}
table=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        grep -E '^[[:space:]]*\[ *[0-9]+\] ' | awk '{print $NF}' | LC_ALL=C sort -u)
[ -n "$table" ] || { echo "$dll: no export table found"; exit 1; }
status=0
plain=$(printf '%s\n' "$table" | grep -v '@' | grep -v -E '^_Z(TT|Tv|Th|TS)' || true)
expected=$(grep -v -E '^_Z(TT|Tv|Th|TS)' "$golden")
if ! diff -u <(printf '%s\n' "$expected") <(printf '%s\n' "$plain"); then
  echo "exports of $dll differ from $golden (lines with - are missing, + are new)"
  status=1
fi
at=$(printf '%s\n' "$table" | grep '@' || true)
if [ -n "$decorated" ]; then
  if ! diff -u "$decorated" <(printf '%s\n' "$at"); then
    echo "decorated exports of $dll differ from $decorated"
    status=1
  fi
elif [ -n "$at" ]; then
  echo "unexpected decorated exports in $dll:"; printf '%s\n' "$at"; status=1
fi
[ $status -eq 0 ] && echo "exports of $dll: $(printf '%s\n' "$table" | wc -l) names match the golden lists"
exit $status
