#!/bin/sh
# Installs a built tree under a non-default prefix and moves it elsewhere, then builds C hosts
# against it the ways users do: pkg-config (shared, and static through Libs.private) and a C-only
# CMake project (ostrel::ostrel and ostrel::ostrel_static). Each host plays on the simulator.
# Usage: prefix_test.sh BUILD_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
check_name=install-prefix
. "$here/lib.sh"
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'wallsim_stop; rm -rf "$work"' EXIT
CC=${CC:-cc}

cmake --install "$build" --prefix "$work/staged" >/dev/null
mv "$work/staged" "$work/moved"
prefix=$work/moved
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name ostrel.pc)")
export PKG_CONFIG_PATH
wallsim_start "$prefix/bin/ostrel"

libdir=$(cd "$(pkg-config --variable=libdir ostrel)" && pwd)
# shellcheck disable=SC2046
$CC -Wall -Werror -o "$work/pc_shared" "$here/host.c" $(pkg-config --cflags --libs ostrel) \
  -Wl,-rpath,"$libdir"
check_loads_from "$work/pc_shared" "$libdir"
run_host pkg-config-shared "$work/pc_shared"
# shellcheck disable=SC2046
$CC -Wall -Werror -o "$work/pc_static" "$here/host.c" $(pkg-config --static --cflags ostrel) \
  $(pkg-config --static --libs ostrel | sed 's/-lostrel\b/-l:libostrel.a/')
check_loads_from "$work/pc_static" -
run_host pkg-config-static "$work/pc_static"

cmake -S "$here/host_project" -B "$work/host_build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/host_build" >/dev/null
check_loads_from "$work/host_build/host_shared" "$libdir"
check_loads_from "$work/host_build/host_static" -
run_host cmake-shared "$work/host_build/host_shared"
run_host cmake-static "$work/host_build/host_static"
echo "$check_name: OK"
