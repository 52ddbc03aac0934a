#!/bin/sh
# Makes sure the Debian packages a make target needs are present.
# As root (as on CI and the dev machines) it installs what is missing with apt-get;
# otherwise it prints the one command to run.
set -eu

packages_for() {
  case "$1" in
    test) echo "cmake make g++ pkg-config libgtest-dev libgmock-dev python3 binutils libcli11-dev nlohmann-json3-dev libasio-dev libtomlplusplus-dev python3-pytest iproute2 procps libcpp-httplib-dev" ;;
    demo) echo "cmake make g++ pkg-config libcli11-dev nlohmann-json3-dev libasio-dev libtomlplusplus-dev libcpp-httplib-dev" ;;
    sanitize) echo "cmake make g++ libgtest-dev libgmock-dev" ;;
    windows) echo "cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest wine64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 python3" ;;
    package) echo "binutils file dpkg-dev lintian" ;;
    netns) echo "iproute2 iptables procps" ;;
    browser) echo "chromium chromium-driver python3-selenium python3-pytest" ;;
    bench) echo "cmake make g++ python3 libbenchmark-dev libpugixml-dev librapidxml-dev libtinyxml2-dev libexpat1-dev libxml2-dev gnuplot-nox shared-mime-info iso-codes khronos-api libgirepository1.0-dev" ;;
    fuzz) echo "cmake make clang-14 libclang-rt-14-dev libgtest-dev" ;;
    coverage) echo "cmake make clang-14 llvm-14 libgtest-dev libgmock-dev python3" ;;
    bench-syscalls) echo "strace" ;;
    python) echo "python3 python3-pytest python3-build python3-hatchling python3-venv mypy locales" ;;
    dotnet) echo "mono-mcs mono-runtime" ;;
    *) echo "deps.sh: unknown target '$1'" >&2; exit 2 ;;
  esac
}

wanted=""
for target in "$@"; do wanted="$wanted $(packages_for "$target")"; done

missing=""
for pkg in $wanted; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  case "$status" in
    *" installed") ;;
    *) case " $missing " in *" $pkg "*) ;; *) missing="$missing $pkg" ;; esac ;;
  esac
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ]; then
  echo "deps: installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
else
  echo "deps: missing packages; run: sudo apt-get install$missing" >&2
  exit 1
fi
