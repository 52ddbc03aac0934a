#!/bin/sh
# The Windows ZIP, build/ostrel-VERSION-windows.zip: the 32-bit (x86/) and 64-bit (x64/) ostrel.dll,
# stripped, each with its import library (ostrel.dll.a) and .def file; the header; the C# wrapper
# when there is one; README.txt and LICENSE.txt. Before packing, each DLL is checked: no debug
# sections, the project version in its version resource, exactly the nine functions exported
# under their plain names, and system DLLs only imported.
# Environment: JOBS (default 2).
set -eu
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}

step() { printf '\n== %s\n' "$*"; }
fail() { echo "windows-package: FAILED: $*" >&2; exit 1; }
. scripts/pe-checks.sh

# stage_dll PRESET TRIPLE DEF DIR: builds the DLL and puts it, stripped and checked, in DIR.
stage_dll() {
  preset=$1 triple=$2 def=$3 out=$4
  step "$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS" --target ostrel >/dev/null
  mkdir -p "$out"
  "$triple-strip" --strip-unneeded -o "$out/ostrel.dll" "build/$preset/src/ostrel.dll"
  cp "build/$preset/src/ostrel.dll.a" "$out/"
  cp "$def" "$out/ostrel.def"
  echo "ostrel.dll: $(wc -c <"build/$preset/src/ostrel.dll") bytes built, $(wc -c <"$out/ostrel.dll") stripped"
  check_stripped "$triple-objdump" "$out/ostrel.dll"
  check_version_resource "$out/ostrel.dll" "$version"
  check_dll "$triple-objdump" "$out/ostrel.dll"
}

cmake --preset mingw-i686 >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/mingw-i686/CMakeCache.txt)
name=ostrel-$version-windows
stage=build/windows-package/$name
rm -rf build/windows-package && mkdir -p "$stage/include/ostrel"

stage_dll mingw-i686 i686-w64-mingw32 src/api/ostrel_i686.def "$stage/x86"
stage_dll mingw-x64 x86_64-w64-mingw32 src/api/ostrel.def "$stage/x64"

cp include/ostrel/ostrel.h "$stage/include/ostrel/"
if [ -f bindings/dotnet/Ostrel.cs ]; then
  mkdir -p "$stage/dotnet" && cp bindings/dotnet/Ostrel.cs "$stage/dotnet/"
fi
# Windows line ends for the texts people open in Notepad.
sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
sed "s/@VERSION@/$version/g; s/\$/\r/" cmake/windows-README.txt.in >"$stage/README.txt"

zip=build/$name.zip
rm -f "$zip"
(cd build/windows-package && cmake -E tar cf "../$name.zip" --format=zip "$name")
step "$zip"
(cd build/windows-package && find "$name" -type f | sort)
echo "windows-package: OK ($(wc -c <"$zip") bytes)"
