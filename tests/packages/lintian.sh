#!/usr/bin/env bash
# Runs lintian on the Debian packages in a directory (make package puts them in
# build/release/packages) and fails on any error or warning. An override, if
# one is ever needed, goes into the package with its reason written beside it.
# Usage: lintian.sh PACKAGE_DIR
set -euo pipefail
dir=$1
command -v lintian >/dev/null || { echo "lintian is missing: apt-get install lintian" >&2; exit 1; }
shopt -s nullglob
debs=("$dir"/*.deb)
[[ ${#debs[@]} -eq 4 ]] || { echo "expected the 4 packages in $dir, found ${#debs[@]}" >&2; exit 1; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}" >"$log" 2>&1 || status=$?
# Root is warned against, not refused; CI runs as root.
grep -v '^running with root privileges is not recommended!$' "$log" || true
if [[ $status -ne 0 ]]; then
  echo "lintian: errors or warnings (status $status) in ${debs[*]##*/}" >&2
  exit 1
fi
echo "lintian: ${#debs[@]} packages, no errors or warnings"
