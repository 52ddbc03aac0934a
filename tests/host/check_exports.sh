#!/bin/sh
# The shared library exports the nine Ostrel_ functions and nothing else.
set -eu
lib="$1"
expected="Ostrel_CloseTvWall Ostrel_Duplicate Ostrel_Finalize Ostrel_Initialize Ostrel_LastErrorCode Ostrel_OpenTvWall Ostrel_StartPlay Ostrel_StopPlay Ostrel_Version"
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exported: $actual"
  echo "expected: $expected"
  exit 1
fi
for name in $expected; do
  nm -D --defined-only "$lib" | grep -q " T $name\$" || { echo "$name is not an exported function"; exit 1; }
done
echo "exports: $actual"
