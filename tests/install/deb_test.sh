#!/bin/sh
# Installs the three .deb packages on this machine with dpkg -i, builds a C host with pkg-config
# and a C-only CMake project with find_package, both from the system's default search paths, and
# runs them against the packaged simulator; then removes the packages again.
# Needs root (CI runs as root on a machine of its own). Usage: deb_test.sh DIR_WITH_DEBS
set -eu
here=$(cd "$(dirname "$0")" && pwd)
check_name=package-test
. "$here/lib.sh"
debs=$(cd "$1" && pwd)
packages="ostrel-tools libostrel-dev libostrel2"
if [ "$(id -u)" != 0 ]; then
  echo "$check_name: skipped: installing packages with dpkg -i needs root"
  exit 0
fi
work=$(mktemp -d)
# shellcheck disable=SC2086
trap 'wallsim_stop; dpkg --purge $packages >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
CC=${CC:-cc}

dpkg -i "$debs"/libostrel2_*.deb "$debs"/libostrel-dev_*.deb "$debs"/ostrel-tools_*.deb >/dev/null
for package in $packages; do
  dpkg-query -W -f='${Package} ${Version} ${Status}\n' "$package" | grep -q ' install ok installed$' ||
    fail "$package is not installed"
done
libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[ "$(pkg-config --modversion ostrel)" = "$(dpkg-query -W -f='${Version}' libostrel2 | sed 's/-.*//')" ] ||
  fail "pkg-config and the package disagree on the version"
wallsim_start /usr/bin/ostrel

# shellcheck disable=SC2046
$CC -Wall -Werror -o "$work/pc_host" "$here/host.c" $(pkg-config --cflags --libs ostrel)
check_loads_from "$work/pc_host" "$libdir"
run_host deb-pkg-config "$work/pc_host"

cmake -S "$here/host_project" -B "$work/host_build" >/dev/null
cmake --build "$work/host_build" >/dev/null
check_loads_from "$work/host_build/host_shared" "$libdir"
check_loads_from "$work/host_build/host_static" -
run_host deb-cmake-shared "$work/host_build/host_shared"
run_host deb-cmake-static "$work/host_build/host_static"
echo "$check_name: OK"
