#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The licence-line script on a scratch repository: each kind of source file gets the line in its
# own comment form (after the #! line of a script), data files are left alone, a second run
# changes nothing, and --check fails before and passes after.
# Arguments: the script, a scratch directory.
set -euo pipefail
script=$1
work=$2
rm -rf "$work"
mkdir -p "$work/scripts" "$work/src"
cp "$script" "$work/scripts/spdx.sh"
cd "$work"
printf 'int f();\n' > src/a.cpp
printf '#pragma once\n' > src/a.h
printf 'C     fixed form\n      END\n' > src/m.f
printf 'module m\nend module\n' > src/m.f90
printf 'add_library(a a.cpp)\n' > src/CMakeLists.txt
printf '#!/usr/bin/env bash\necho hi\n' > src/run
printf '#!/usr/bin/env bash\necho hi\n' > src/tool.sh
printf 'x = 1\n' > src/data.toml
printf '\0\1#!' > src/corpus
chmod +x src/run src/tool.sh
git init -q . && git add -A
tag="SPDX-License-Identifier: BSD-3-Clause"
if bash scripts/spdx.sh --check > check.txt; then echo "--check passed on files without the line"; exit 1; fi
bash scripts/spdx.sh
fail=0
expect() {  # file, line number, text
  [ "$(sed -n "$2p" "$1")" = "$3" ] || { echo "$1 line $2: '$(sed -n "$2p" "$1")', expected '$3'"; fail=1; }
}
expect src/a.cpp 1 "// $tag"
expect src/a.cpp 2 "int f();"
expect src/a.h 1 "// $tag"
expect src/m.f 1 "! $tag"
expect src/m.f90 1 "! $tag"
expect src/CMakeLists.txt 1 "# $tag"
expect src/run 1 "#!/usr/bin/env bash"
expect src/run 2 "# $tag"
expect src/tool.sh 2 "# $tag"
[ -x src/run ] || { echo "the script lost its mode"; fail=1; }
[ "$(cat src/data.toml)" = "x = 1" ] || { echo "a data file was changed"; fail=1; }
[ "$(head -c 3 src/corpus | od -An -tx1 | tr -d ' ')" = "000123" ] || { echo "a binary file was changed"; fail=1; }
before=$(cat src/* | md5sum)
bash scripts/spdx.sh
[ "$(cat src/* | md5sum)" = "$before" ] || { echo "a second run changed files"; fail=1; }
bash scripts/spdx.sh --check || fail=1
exit "$fail"
