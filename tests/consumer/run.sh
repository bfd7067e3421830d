#!/usr/bin/env bash
# Installs the build into a staging root (DESTDIR), then builds the consumer project against it
# twice, through find_package and through pkg-config, and runs both programs. Also checks that
# nothing installed keeps a path into the build tree and that the installed runner starts.
# Arguments: build directory, consumer source directory, scratch directory.
set -euo pipefail
build=$1
src=$2
work=$3
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
readelf -d "$root"/lib/libkvoblk.so.1 | grep -q 'SONAME.*libkvoblk.so.1' || { echo "no versioned SONAME"; exit 1; }
if readelf -d "$root"/lib/libkvoblk.so.1 | grep NEEDED | grep -q kvorefhost; then
  echo "libkvoblk links the reference host"; exit 1
fi

# Through find_package.
cmake -S "$src" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$root" -DCMAKE_BUILD_TYPE=Release > "$work/cmake.log"
cmake --build "$work/cmake" > "$work/cmake-build.log"
out=$(LD_LIBRARY_PATH="$root/lib" "$work/cmake/consumer")
echo "find_package: $out"
[ "$out" = "$expected" ]

# Through pkg-config.
export PKG_CONFIG_PATH="$root/lib/pkgconfig"
mkdir -p "$work/pkgconfig"
cc -std=c11 -Wall -Werror $(pkg-config --cflags kvoblk) -c "$src/twovar.c" -o "$work/pkgconfig/twovar.o"
c++ -std=c++17 -Wall -Werror $(pkg-config --cflags kvoblk kvorefhost) -I "$src" "$src/main.cpp" \
    "$work/pkgconfig/twovar.o" $(pkg-config --libs kvoblk kvorefhost) -o "$work/pkgconfig/consumer"
out=$(LD_LIBRARY_PATH="$root/lib" "$work/pkgconfig/consumer")
echo "pkg-config: $out"
[ "$out" = "$expected" ]

# The installed runner finds the installed libraries by itself.
if [ -x "$root/bin/flowsheet" ]; then
  "$root/bin/flowsheet" --workdir "$work/run" > /dev/null
  echo "installed runner starts"
fi
echo "consumer builds: find_package and pkg-config"
