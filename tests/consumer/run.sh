#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs the build into a staging root (DESTDIR), then builds the consumer project against it
# twice, through find_package and through pkg-config, and runs both programs (and, with the
# Fortran module, the model in Fortran both ways); each program also compares the block's numeric
# Jacobian with its analytic one. Then moves the installed tree elsewhere and builds and runs the
# consumer against it again, with the package files and with plain -I and -L. Also checks that
# nothing installed keeps a path into the build or source tree, that the installed runner starts,
# and that the SONAME, the CMake package, pkg-config and `kvoflow --version` all carry the one
# version.
# Arguments: build directory, consumer source directory, scratch directory, the project's version
# (MAJOR.MINOR.PATCH), the SONAME version (what follows ".so.").
set -euo pipefail
build=$1
src=$2
work=$3
version=$4
so=$5
prefix=/opt/kvoblk
rm -rf "$work"
mkdir -p "$work"
stage="$work/stage"
DESTDIR="$stage" cmake --install "$build" --prefix "$prefix" > "$work/install.log"
root="$stage$prefix"
expected="consumer: one Newton step gives x = (4.0000, 0.5000)"

for f in $(find "$root" -type f \( -name '*.so*' -o -perm -u+x \) ); do
  if readelf -d "$f" 2>/dev/null | grep -E 'RPATH|RUNPATH' | grep -F "$build" ; then
    echo "installed $f keeps a path into the build tree"; exit 1
  fi
done
# Nor does any installed text file (CMake package, pkg-config files, headers) name the build or
# the source tree. A folder counts only as a whole path, at the start of a word or after -I or
# -L: a tree checked out at /kvoblk is not named by "${includedir}/kvoblk/refhost".
srcdir=$(cd "$src/../.." && pwd)
names_path() {
  local rc=0
  grep -rIlP "(^|[\s\"'=;:(<,]|-[IL])\Q$1\E(?=$|[/\s\"';:)>,])" "$root" || rc=$?
  [ "$rc" -le 1 ] || { echo "the installed files cannot be searched"; exit 1; }
  return "$rc"
}
if names_path "$build" || names_path "$srcdir"; then
  echo "the installed files above name the build or the source tree"; exit 1
fi
for l in kvoblk kvorefhost; do
  readelf -d "$root/lib/lib$l.so.$so" | grep -qF "[lib$l.so.$so]" || { echo "lib$l: no SONAME lib$l.so.$so"; exit 1; }
done
if readelf -d "$root/lib/libkvoblk.so.$so" | grep NEEDED | grep -q kvorefhost; then
  echo "libkvoblk links the reference host"; exit 1
fi

# Through find_package, asking for the installed MAJOR.MINOR; a request for the next release
# (the next major, or before 1.0 the next minor, may change the interface) is refused.
IFS=. read -r major minor _ <<< "$version"
cmake -S "$src" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$root" -DCMAKE_BUILD_TYPE=Release \
      -DKVOBLK_WANTED="$major.$minor" > "$work/cmake.log"
if [ "$major" -eq 0 ]; then next="0.$((minor + 1))"; else next="$((major + 1)).0"; fi
if cmake -S "$src" -B "$work/cmake-next" -DCMAKE_PREFIX_PATH="$root" -DKVOBLK_WANTED="$next" \
     > "$work/cmake-next.log" 2>&1; then
  echo "find_package(kvoblk $next) accepted version $version"; exit 1
fi
cmake --build "$work/cmake" > "$work/cmake-build.log"
out=$(LD_LIBRARY_PATH="$root/lib" "$work/cmake/consumer")
echo "find_package: $out"
[ "$out" = "$expected" ]

# Through pkg-config.
export PKG_CONFIG_PATH="$root/lib/pkgconfig"
for pc in kvoblk kvorefhost; do
  [ "$(pkg-config --modversion $pc)" = "$version" ] || { echo "$pc.pc: not version $version"; exit 1; }
done
mkdir -p "$work/pkgconfig"
cc -std=c11 -Wall -Werror $(pkg-config --cflags kvoblk) -c "$src/twovar.c" -o "$work/pkgconfig/twovar.o"
c++ -std=c++17 -Wall -Werror $(pkg-config --cflags kvoblk kvorefhost) -I "$src" "$src/main.cpp" \
    "$work/pkgconfig/twovar.o" $(pkg-config --libs kvoblk kvorefhost) -o "$work/pkgconfig/consumer"
out=$(LD_LIBRARY_PATH="$root/lib" "$work/pkgconfig/consumer")
echo "pkg-config: $out"
[ "$out" = "$expected" ]

# The same model written in Fortran, under the same driver: through find_package (built with the
# C model above when the Fortran module is installed) and through pkg-config.
if [ -f "$root/lib/pkgconfig/kvoblk-fortran.pc" ]; then
  [ -x "$work/cmake/consumer_fortran" ] || { echo "find_package: no Fortran model built"; exit 1; }
  out=$(LD_LIBRARY_PATH="$root/lib" "$work/cmake/consumer_fortran")
  echo "find_package, Fortran: $out"
  [ "$out" = "$expected" ]
  [ "$(pkg-config --modversion kvoblk-fortran)" = "$version" ] ||
    { echo "kvoblk-fortran.pc: not version $version"; exit 1; }
  "${FC:-gfortran}" -std=f2008 -Wall -Werror $(pkg-config --cflags kvoblk-fortran) \
    -J "$work/pkgconfig" -c "$src/twovar.f90" -o "$work/pkgconfig/twovar_f.o"
  c++ -std=c++17 -Wall -Werror $(pkg-config --cflags kvoblk kvorefhost) "$src/main.cpp" \
      "$work/pkgconfig/twovar_f.o" $(pkg-config --libs kvoblk-fortran kvorefhost) \
      -o "$work/pkgconfig/consumer_fortran"
  out=$(LD_LIBRARY_PATH="$root/lib" "$work/pkgconfig/consumer_fortran")
  echo "pkg-config, Fortran: $out"
  [ "$out" = "$expected" ]
fi

# The installed runners find the installed libraries by themselves.
if [ -x "$root/bin/flowsheet" ]; then
  "$root/bin/flowsheet" --workdir "$work/run" > /dev/null
  echo "installed runner starts"
fi
if [ -x "$root/bin/kvoflow" ]; then
  out=$("$root/bin/kvoflow" --version)
  [ "$out" = "kvoflow $version" ] || { echo "kvoflow --version says: $out"; exit 1; }
fi

# A prefix moved elsewhere after installing serves as it is: the CMake package and the pkg-config
# files find their prefix from where they lie, the installed runner finds its libraries through
# its run path, and the plain compile lines (-I and -L, no package files) build against it.
moved="$work/moved/kvoblk"
mkdir -p "$work/moved"
mv "$root" "$moved"
cmake -S "$src" -B "$work/cmake-moved" -DCMAKE_PREFIX_PATH="$moved" -DCMAKE_BUILD_TYPE=Release \
      > "$work/cmake-moved.log"
cmake --build "$work/cmake-moved" > "$work/cmake-moved-build.log"
programs=("$work/cmake-moved/consumer")
export PKG_CONFIG_PATH="$moved/lib/pkgconfig"
mkdir -p "$work/moved-build"
c++ -std=c++17 -Wall -Werror $(pkg-config --cflags kvoblk kvorefhost) -I "$src" "$src/main.cpp" \
    "$src/twovar.c" $(pkg-config --libs kvoblk kvorefhost) -o "$work/moved-build/consumer_pc"
cc -std=c11 -Wall -Werror -I "$moved/include" -c "$src/twovar.c" -o "$work/moved-build/twovar.o"
c++ -std=c++17 -Wall -Werror -I "$moved/include" -I "$moved/include/kvoblk/refhost" -I "$src" \
    "$src/main.cpp" "$work/moved-build/twovar.o" -L "$moved/lib" -lkvoblk -lkvorefhost \
    -o "$work/moved-build/consumer_plain"
programs+=("$work/moved-build/consumer_pc" "$work/moved-build/consumer_plain")
if [ -f "$moved/lib/pkgconfig/kvoblk-fortran.pc" ]; then
  programs+=("$work/cmake-moved/consumer_fortran")
  (cd "$work/moved-build" &&
   "${FC:-gfortran}" -c -I "$moved/include/kvoblk/fortran" "$src/twovar.f90" -o twovar_f.o &&
   c++ -I "$moved/include/kvoblk/refhost" "$src/main.cpp" twovar_f.o \
       -lkvoblk_fortran -lkvoblk -lkvorefhost -lgfortran -I "$moved/include" -L "$moved/lib" \
       -o consumer_fortran_plain)
  programs+=("$work/moved-build/consumer_fortran_plain")
fi
for p in "${programs[@]}"; do
  out=$(LD_LIBRARY_PATH="$moved/lib" "$p")
  [ "$out" = "$expected" ] || { echo "moved prefix, ${p#"$work"/}: $out"; exit 1; }
done
echo "moved prefix: ${#programs[@]} programs built and run"
if [ -x "$moved/bin/kvoflow" ]; then
  out=$(env -u LD_LIBRARY_PATH "$moved/bin/kvoflow" --version)
  [ "$out" = "kvoflow $version" ] || { echo "moved kvoflow --version says: $out"; exit 1; }
fi
echo "consumer builds: find_package and pkg-config"
