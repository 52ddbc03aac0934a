#!/bin/sh
# The Windows targets, cross-built with mingw-w64 from the same sources:
#   1. mingw-i686: the 32-bit ostrel.dll and its import library. Checks that the DLL exports
#      exactly the nine Ostrel_ functions under their plain names and imports system DLLs only,
#      links a C host against the import library, builds the run-time loading host and the
#      whole test suite as 32-bit code. (32-bit programs cannot run on this machine's Wine,
#      so nothing 32-bit is run.)
#   2. mingw-x64: the 64-bit DLL and the whole GoogleTest suite, run with ctest under wine64
#      in a Wine prefix of its own under build/.
# Prints a summary (passed, failed, skipped with reasons) and exits non-zero on any failure.
#
# Environment: JOBS (default 2); OSTREL_WINE_CTEST_ARGS, extra ctest arguments (e.g. "-LE slow").
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
JOBS=${JOBS:-2}

i686_dir=build/mingw-i686
x64_dir=build/mingw-x64
step() { printf '\n== %s\n' "$*"; }
fail() { echo "windows: FAILED: $*" >&2; exit 1; }

. scripts/pe-checks.sh

# ---- 32-bit ----
step "mingw-i686: configure and build"
cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686 -j "$JOBS"
check_dll i686-w64-mingw32-objdump "$i686_dir/src/ostrel.dll"

step "mingw-i686: hosts"
# A C host linked against the import library: its compiler asks for the __stdcall names
# (_Ostrel_Version@0); the import library must map them to the DLL's plain names.
i686_cc="i686-w64-mingw32-gcc-posix -std=c99 -Wall -Wextra -Werror -O2 -Iinclude"
$i686_cc -o "$i686_dir/c_host_test.exe" tests/host/c_host_test.c "$i686_dir/src/ostrel.dll.a"
host_imports=$(i686-w64-mingw32-objdump -p "$i686_dir/c_host_test.exe" |
  awk '/DLL Name: ostrel.dll/ {on = 1; next} on && /DLL Name:/ {on = 0} on && NF == 3 {print $3}' |
  sort | tr '\n' ' ' | sed 's/ $//')
echo "c_host_test.exe imports from ostrel.dll: $host_imports"
for name in $host_imports; do
  case " $expected_exports " in
    *" $name "*) ;;
    *) fail "c_host_test.exe imports $name from ostrel.dll" ;;
  esac
done
[ -n "$host_imports" ] || fail "c_host_test.exe imports nothing from ostrel.dll"
# The run-time loading host, as 32-bit code (built, not run).
$i686_cc -o "$i686_dir/dll_host_test.exe" tests/windows/dll_host_test.c -lws2_32 -static
echo "built $i686_dir/c_host_test.exe and $i686_dir/dll_host_test.exe"

step "mingw-i686: the test suite compiles as 32-bit code (it cannot run here)"
cmake -S . -B "$i686_dir-tests" --toolchain cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
  -DOSTREL_BUILD_TOOLS=OFF -DOSTREL_BUILD_TESTS=ON >/dev/null
cmake --build "$i686_dir-tests" -j "$JOBS"

# ---- 64-bit under Wine ----
step "mingw-x64: configure and build"
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 -j "$JOBS"
check_dll x86_64-w64-mingw32-objdump "$x64_dir/src/ostrel.dll"

wine64=""
for candidate in /usr/lib/wine/wine64 /usr/lib64/wine/wine64 "$(command -v wine64 || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine64=$candidate; break; fi
done
[ -n "$wine64" ] || fail "wine64 not found (Debian package wine64)"
wineserver=$(dirname "$wine64")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo "")

# The same environment the toolchain gives ctest (cmake/mingw-x86_64.cmake).
WINEPREFIX="$root/$x64_dir/wine-prefix"
WINEARCH=win64
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES

stop_wineserver() { [ -z "$wineserver" ] || "$wineserver" -k 2>/dev/null || true; }
trap stop_wineserver EXIT INT TERM

step "wine: prefix $WINEPREFIX ($("$wine64" --version))"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix (first start; this takes a while)"
  # wineboot reports the missing 32-bit half of a 64-bit-only installation; that is harmless.
  "$wine64" wineboot -i >/dev/null 2>&1 || true
  # The server writes the registry files when it shuts down: wait for that.
  [ -z "$wineserver" ] || "$wineserver" -w
  [ -f "$WINEPREFIX/system.reg" ] || fail "could not create the Wine prefix"
fi
# One server and one set of Wine's own service processes for the whole run. Started here,
# with their output going nowhere: a service started by a test program would inherit that
# program's output pipe and hold ctest's test discovery until the service quits.
[ -z "$wineserver" ] || "$wineserver" -p 60 >/dev/null 2>&1 </dev/null
"$wine64" cmd /c exit >/dev/null 2>&1 </dev/null || true

step "mingw-x64: ctest under wine64"
results="$x64_dir/wine-ctest.xml"
rm -f "$results"
set +e
# shellcheck disable=SC2086
ctest --test-dir "$x64_dir" -j "$JOBS" --timeout 300 --output-on-failure \
  --output-junit "$root/$results" ${OSTREL_WINE_CTEST_ARGS:-}
status=$?
set -e

step "wine run summary"
python3 - "$results" <<'EOF'
import re, sys
import xml.etree.ElementTree as ET

try:
    cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
except (OSError, ET.ParseError) as error:
    print(f"no ctest results: {error}")
    sys.exit(0)
counts = {}
skipped = []
for case in cases:
    status = case.get("status", "run")
    counts[status] = counts.get(status, 0) + 1
    if status in ("skipped", "notrun", "disabled"):
        out = case.findtext("system-out") or ""
        match = re.search(r"Skipped\n(.*?)\n", out)
        reason = match.group(1).strip() if match else "(no reason printed)"
        skipped.append(f"  {case.get('name')}: {reason}")
words = {"run": "passed", "fail": "failed", "notrun": "skipped"}
print(", ".join(f"{n} {words.get(s, s)}" for s, n in sorted(counts.items())))
if skipped:
    print("skipped under Wine:")
    print("\n".join(skipped))
EOF

[ "$status" -eq 0 ] || fail "tests failed under Wine (ctest status $status)"
echo "windows: OK"
