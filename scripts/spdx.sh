#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Puts the licence identifier on the first line of every tracked source file, in the comment form
# the file's language needs (after the #! line of a script). Files that carry it already are left
# as they are, so running it again changes nothing.
#   scripts/spdx.sh          add the line where it is missing
#   scripts/spdx.sh --check  only list the files without it; fails when there are any
set -euo pipefail
cd "$(dirname "$0")/.."
tag="SPDX-License-Identifier: BSD-3-Clause"
check=0
[ "${1:-}" = "--check" ] && check=1

# The first two bytes of a file (binary files hold NULs, which the shell cannot keep).
shebang() { head -c 2 "$1" | tr -d '\0'; }

# The comment leader of a source file, or nothing for a file that is not source (data, corpora,
# golden text, documentation, configuration templates).
leader() {
  case "$1" in
    *.h | *.hpp | *.c | *.cc | *.cpp) echo "//" ;;
    *.f | *.for | *.f90 | *.F90) echo "!" ;;
    CMakeLists.txt | */CMakeLists.txt | *.cmake | *.cmake.in | *.sh | Makefile | */Makefile) echo "#" ;;
    *) if [ "$(shebang "$1")" = "#!" ] && head -n 1 "$1" | grep -qE '(ba|da|z)?sh$'; then echo "#"; fi ;;
  esac
}

missing=0
while IFS= read -r -d '' f; do
  [ -f "$f" ] || continue
  lead=$(leader "$f")
  [ -n "$lead" ] || continue
  # Where the line belongs: first, or second after a #! line.
  at=1
  [ "$(shebang "$f")" = "#!" ] && at=2
  if sed -n "${at}p" "$f" | grep -qF "$tag"; then continue; fi
  if [ "$check" -eq 1 ]; then
    echo "$f: no '$lead $tag' on line $at"
    missing=$((missing + 1))
    continue
  fi
  tmp=$(mktemp "$f.XXXXXX")
  if [ "$at" -eq 2 ]; then
    { head -n 1 "$f"; echo "$lead $tag"; tail -n +2 "$f"; } > "$tmp"
  else
    { echo "$lead $tag"; cat "$f"; } > "$tmp"
  fi
  chmod --reference="$f" "$tmp"
  mv "$tmp" "$f"
done < <(git ls-files -z)

if [ "$check" -eq 1 ] && [ "$missing" -gt 0 ]; then
  echo "$missing source files lack the licence identifier: run scripts/spdx.sh"
  exit 1
fi
exit 0
