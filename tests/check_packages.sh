#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Makes the Debian packages of the build in a scratch directory and checks what each holds and
# depends on: the library alone in its package, the reference host with the runner, and every
# development file (headers, host interface, CMake package, pkg-config files) in the -dev package;
# each with its copyright file, no file in two packages, and every shared library that a program
# or library of a package needs either in the packages themselves or brought by its dependencies.
# Arguments: build directory, scratch directory, SONAME version (what follows ".so.").
set -euo pipefail
build=$1
work=$2
so=$3
sore=${so//./\\.}
rm -rf "$work"
mkdir -p "$work"
# A machine without dpkg-shlibdeps makes no packages (they would lack their system dependencies)
# and says why.
if cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" \
     -D SHLIBDEPS_EXECUTABLE=/nonexistent/dpkg-shlibdeps > "$work/cpack.log" 2>&1; then
  echo "packages made without dpkg-shlibdeps"; exit 1
fi
grep -q 'dpkg-shlibdeps not found' "$work/cpack.log" || { echo "no word of dpkg-shlibdeps"; exit 1; }
if ls "$work"/*.deb > /dev/null 2>&1; then echo "packages left without dpkg-shlibdeps"; exit 1; fi
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
         include/kvoblk/refhost/kvorefhost.h include/kvoblk/refhost/kvoconnect.h \
         lib/libkvoblk.so lib/libkvorefhost.so \
         include/kvoblk/fortran/kvoblk.mod lib/libkvoblk_fortran.a \
         lib/cmake/kvoblk/kvoblkConfig.cmake lib/cmake/kvoblk/kvoblkConfigVersion.cmake \
         lib/cmake/kvoblk/kvoblkTargets.cmake lib/pkgconfig/kvoblk.pc lib/pkgconfig/kvorefhost.pc \
         lib/pkgconfig/kvoblk-fortran.pc; do
  has "$dev" "^\./usr/$p\$"
done
lacks "$dev" '\.so\.[0-9]'
for p in "$lib" "$refhost" "$dev"; do
  has "$p" "^\./usr/share/doc/$(dpkg-deb -f "$p" Package)/copyright\$"
done
twice=$(for p in "$lib" "$refhost" "$dev"; do dpkg-deb -c "$p" | awk '$1 !~ /^d/ {print $6}'; done |
        sort | uniq -d)
[ -z "$twice" ] || { echo "in two packages: $twice"; fail=1; }

# Every NEEDED entry of every ELF file of a package must be met once its Depends are installed:
# by a library of these packages (the package then depends on the one holding it), or by the
# Debian package that holds it on this machine, named in Depends or brought by one that is.
depends_of() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/(.*)//; s/[[:space:]]//g' | sed '/^$/d'; }
for p in "$lib" "$refhost" "$dev"; do
  name=$(dpkg-deb -f "$p" Package)
  root="$work/root-$name"
  dpkg-deb -x "$p" "$root"
  deps=$(depends_of "$p")
  brought=$(for d in $deps; do dpkg-query -W -f '${Depends},${Pre-Depends}\n' "$d" 2>/dev/null || true; done |
            tr ',|' '\n\n' | sed 's/(.*)//; s/:any//; s/[[:space:]]//g' | sed '/^$/d' | sort -u)
  while IFS= read -r f; do
    head -c 4 "$f" | grep -q 'ELF' || continue
    for needed in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      case "$needed" in
        "libkvoblk.so.$so") owner=libkvoblk$so ;;
        "libkvorefhost.so.$so") owner=libkvorefhost$so ;;
        *) # The file the loader picks for this machine's architecture, and the package holding it
           # (under /lib or /usr/lib: either may be the one dpkg knows). The dynamic loader, which
           # a library using thread-local storage needs, is listed by its full path alone.
           path=$(ldd "$f" 2>/dev/null | awk -v n="$needed" '
             $1 == n && $2 == "=>" {print $3; exit}
             substr($1, 1, 1) == "/" && substr($1, length($1) - length(n)) == "/" n {print $1; exit}')
           owner=""
           for q in "$path" "${path#/usr}" "/usr$path"; do
             [ -n "$path" ] || break
             owner=$(dpkg -S "$q" 2>/dev/null | head -n 1 | sed 's/[:,].*//') && [ -n "$owner" ] && break
           done ;;
      esac
      [ "$owner" = "$name" ] && continue
      if [ -z "$owner" ]; then
        echo "$name: ${f#"$root"} needs $needed, which no installed package holds"; fail=1
      elif ! grep -qxF "$owner" <<< "$deps$(printf '\n%s' "$brought")"; then
        echo "$name: ${f#"$root"} needs $needed of $owner, which its Depends do not bring"; fail=1
      fi
    done
  done < <(find "$root" -type f)
done
dpkg-deb -f "$refhost" Depends | grep -qF "libkvoblk$so (= " || { echo "refhost does not depend on the library"; fail=1; }
dpkg-deb -f "$dev" Depends | grep -qF "libkvorefhost$so" || { echo "dev does not depend on the host"; fail=1; }
[ "$fail" -eq 0 ] && echo "packages: $(basename "$lib") $(basename "$refhost") $(basename "$dev")"
exit "$fail"
