#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The Windows package as a user takes it: made with CPack, unpacked into a fresh folder, the
# shipped recycle flowsheet run there with the packaged runner and plug-in (from the unpacked
# folder and from another one), a model project built against it with the mingw tool chain
# through find_package and through a plain compile line, and both programs run under wine with
# the package's DLLs beside them.
# Arguments: cpack, build directory, consumer sources, scratch directory, toolchain file,
# objdump, wine, C compiler, C++ compiler.
set -euo pipefail
cpack=$1 build=$2 src=$3 work=$4 toolchain=$5 objdump=$6 wine=$7 cc=$8 cxx=$9
rm -rf "$work"
mkdir -p "$work/unpacked"
(cd "$build" && "$cpack" -G ZIP -B "$work/zip" > "$work/cpack.log")
zip=$(ls "$work"/zip/*.zip)
(cd "$work/unpacked" && cmake -E tar xf "$zip")
root=$(ls -d "$work"/unpacked/*/)
root=${root%/}
for f in bin/kvoblk.dll bin/kvorefhost.dll bin/kvoflow.exe lib/libkvoblk.dll.a \
         lib/libkvorefhost.dll.a lib/cmake/kvoblk/kvoblkConfig.cmake include/kvoblk/kvoblk.h \
         examples/recycle.toml examples/libkvoconcentrator.dll README.txt LICENSE; do
  [ -f "$root/$f" ] || { echo "the package has no $f (it holds: $(cd "$root" && ls))"; exit 1; }
done
# The DLLs, the programs and the plug-in need nothing beyond the system's DLLs and each other.
for f in "$root"/bin/*.dll "$root"/bin/*.exe "$root"/examples/*.dll; do
  for dll in $("$objdump" -p "$f" | awk '/DLL Name:/ {print $3}'); do
    case "${dll,,}" in
      kernel32.dll | user32.dll | msvcrt.dll | bcrypt.dll | kvoblk.dll | kvorefhost.dll) ;;
      *) echo "$f needs $dll, which is not in the package"; exit 1 ;;
    esac
  done
done

# The shipped flowsheet as the note in the zip says to run it, from the unpacked folder and from
# a fresh one elsewhere, each twice: the first run detects the pattern and saves it in its own
# run folder, the second restores it. The plug-in is named libkvoconcentrator.so in the file.
# Names are given as a Windows user types them: backslashes, and a drive letter from elsewhere.
kvoflow() {
  local out
  out=$(cd "$1" && "$wine" "${@:2}" 2>&1 | tr -d '\r') || { echo "$out" >&2; return 1; }
  printf '%s\n' "$out"
}
expect() {
  grep -q -- "$2" <<< "$1" || { echo "no \"$2\" in:"; echo "$1"; exit 1; }
  if grep -q -- "!!\|not there\|cannot be loaded" <<< "$1"; then echo "$1"; exit 1; fi
}
grep -q 'libkvoconcentrator.so' "$root/examples/recycle.toml"
win="Z:${root//\//\\}"
mkdir -p "$work/elsewhere"
for where in "$root" "$work/elsewhere"; do
  if [ "$where" = "$root" ]; then
    args=('bin\kvoflow.exe' --workdir run 'examples\recycle.toml')
  else
    args=("$win\\bin\\kvoflow.exe" --workdir run "$win\\examples\\recycle.toml")
  fi
  out=$(kvoflow "$where" "${args[@]}")
  expect "$out" "detected numerically and saved to run.FL.pat"
  expect "$out" "material balance closes to"
  [ -f "$where/run/FL.pat" ] || { echo "no pattern file in $where/run"; exit 1; }
  out=$(kvoflow "$where" "${args[@]}")
  expect "$out" "restored from run.FL.pat"
  expect "$out" "material balance closes to"
  echo "recycle.toml from ${where#"$work"/}: saved, then restored"
done
# The package is left as it was unpacked, but for the run folder the first run made.
rm -rf "$root/run"

expected="consumer: one Newton step gives x = (4.0000, 0.5000)"

# Through find_package, naming the package's folder.
cmake -S "$src" -B "$work/cmake" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
      -Dkvoblk_DIR="$root/lib/cmake/kvoblk" > "$work/cmake.log"
cmake --build "$work/cmake" > "$work/cmake-build.log"
cp "$root"/bin/*.dll "$work/cmake/bin/"
out=$("$wine" "$work/cmake/bin/consumer.exe" | tr -d '\r')
echo "find_package: $out"
[ "$out" = "$expected" ]

# Through a plain compile line.
mkdir -p "$work/plain"
"$cc" -std=c11 -Wall -Werror -I "$root/include" -c "$src/twovar.c" -o "$work/plain/twovar.o"
"$cxx" -std=c++17 -Wall -Werror -I "$root/include" -I "$root/include/kvoblk/refhost" -I "$src" \
       "$src/main.cpp" "$work/plain/twovar.o" "$root/lib/libkvoblk.dll.a" \
       "$root/lib/libkvorefhost.dll.a" -static -o "$work/plain/consumer.exe"
cp "$root"/bin/*.dll "$work/plain/"
out=$("$wine" "$work/plain/consumer.exe" | tr -d '\r')
echo "compile line: $out"
[ "$out" = "$expected" ]
