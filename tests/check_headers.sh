#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Compiles every public header on its own with nothing but `-I include`: as C11 and as C++17,
# except the headers that declare C++ classes, which are compiled as C++ only. Then makes sure no
# public header declares an internal name of the library or of the reference host.
# Arguments: compiler, include directory.
set -uo pipefail
cxx=$1
inc=$(cd "$2" && pwd)
cxx_only=" kvoblock.h kvomodel.h host/nux_framework.h host/nux_port.h host/kvo_md5.h "
# Beyond the project's own warnings, those a stricter user project may build with: the headers
# are included with plain -I through pkg-config, so their warnings would be the user's.
flags=(-fsyntax-only -Wall -Wextra -Werror -pedantic-errors -Wshadow -Wconversion -Wsign-conversion
       -I "$inc")
failed=0
checked=0
cd "$inc/kvoblk" || exit 1
for header in $(find . -name '*.h' | sed 's|^\./||' | LC_ALL=C sort); do
  line=$(printf '#include <kvoblk/%s>\nint header_check_unit;' "$header")
  if ! printf '%s\n' "$line" | "$cxx" -x c++ -std=c++17 "${flags[@]}" -Wold-style-cast -; then
    echo "FAIL (C++17): $header"
    failed=1
  fi
  if [[ "$cxx_only" != *" $header "* ]]; then
    if ! printf '%s\n' "$line" | "$cxx" -x c -std=c11 "${flags[@]}" -; then
      echo "FAIL (C11): $header"
      failed=1
    fi
  fi
  checked=$((checked + 1))
done
# Internal names: the library's detail namespace, its internal headers and the reference host.
if grep -n -E '\bdetail\b|_internal\.h|kvoref\b|kvorefhost' $(find . -name '*.h'); then
  echo "FAIL: internal names in public headers (above)"
  failed=1
fi
[ "$failed" -eq 0 ] && echo "public headers: $checked compile alone and declare no internal name"
exit "$failed"
