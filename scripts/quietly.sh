#!/bin/sh
# Runs a command with its output held back, and shows that output only if the command fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$@" >"$log" 2>&1 && exit 0
status=$?
cat "$log" >&2
echo "failed ($status): $*" >&2
exit "$status"
