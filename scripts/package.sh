#!/bin/sh
# The Debian packages: a Release build installed under /usr, packed by CPack into
# libostrel2, libostrel-dev and ostrel-tools (build/package/*.deb), each checked by lintian,
# which must report no errors. Environment: JOBS (default 2).
set -eu
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
dir=build/package

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DOSTREL_PACKAGE_DEB=ON -DOSTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$JOBS" --target ostrel ostrel_static ostrel-cli
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)

status=0
for deb in "$dir"/*.deb; do
  echo "== $deb"
  dpkg-deb --field "$deb" Package Version Depends
  # Errors fail the build; warnings are shown.
  lintian --allow-root --fail-on error --tag-display-limit 0 "$deb" || status=1
done
[ "$status" -eq 0 ] || { echo "package: lintian reported errors" >&2; exit 1; }
echo "package: OK ($(ls "$dir"/*.deb | wc -l) packages in $dir)"
