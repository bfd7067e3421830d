#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Makes the Debian packages of the build in a scratch directory and checks what each holds and
# depends on: the library alone in its package, the reference host with the runner, and every
# development file (headers, host interface, CMake package, pkg-config files) in the -dev package.
# Arguments: build directory, scratch directory, SONAME version (what follows ".so.").
set -euo pipefail
build=$1
work=$2
so=$3
sore=${so//./\\.}
rm -rf "$work"
mkdir -p "$work"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" > "$work/cpack.log"
deb() { ls "$work"/$1_*.deb; }
lib=$(deb libkvoblk$so) refhost=$(deb libkvorefhost$so) dev=$(deb libkvoblk-dev)
fail=0
has() {  # package, path pattern (grep -E on the listing)
  dpkg-deb -c "$1" | awk '{print $6}' | grep -Eq "$2" || { echo "$(basename "$1") lacks $2"; fail=1; }
}
lacks() {
  if dpkg-deb -c "$1" | awk '{print $6}' | grep -Eq "$2"; then echo "$(basename "$1") holds $2"; fail=1; fi
}
has "$lib" "^\\./usr/lib/libkvoblk\\.so\\.$sore(\\.[0-9]+)+\$"
has "$lib" "^\\./usr/lib/libkvoblk\\.so\\.$sore\$"
lacks "$lib" '\.h$|kvorefhost|libkvoblk\.so$'
has "$refhost" "^\\./usr/lib/libkvorefhost\\.so\\.$sore\$"
has "$refhost" '^\./usr/bin/flowsheet$'
has "$refhost" '^\./usr/bin/kvoflow$'
lacks "$refhost" '\.h$|libkvoblk\.so'
for p in include/kvoblk/kvoblk.h include/kvoblk/kvofortran.h include/kvoblk/host/kvo_lists.h \
         include/kvoblk/refhost/kvorefhost.h lib/libkvoblk.so lib/libkvorefhost.so \
         include/kvoblk/fortran/kvoblk.mod lib/libkvoblk_fortran.a \
         lib/cmake/kvoblk/kvoblkConfig.cmake lib/cmake/kvoblk/kvoblkConfigVersion.cmake \
         lib/cmake/kvoblk/kvoblkTargets.cmake lib/pkgconfig/kvoblk.pc lib/pkgconfig/kvorefhost.pc \
         lib/pkgconfig/kvoblk-fortran.pc; do
  has "$dev" "^\./usr/$p\$"
done
lacks "$dev" '\.so\.[0-9]'
dpkg-deb -f "$refhost" Depends | grep -qF "libkvoblk$so (= " || { echo "refhost does not depend on the library"; fail=1; }
dpkg-deb -f "$dev" Depends | grep -qF "libkvorefhost$so" || { echo "dev does not depend on the host"; fail=1; }
[ "$fail" -eq 0 ] && echo "packages: $(basename "$lib") $(basename "$refhost") $(basename "$dev")"
exit "$fail"
