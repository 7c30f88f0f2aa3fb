#!/usr/bin/env bash
# Checks that every program the tests call is installed (the list in
# scripts/test-programs.txt): one line for each that is missing, naming its
# package, and status 1; nothing and status 0 when all are there.
#   scripts/check-programs.sh [LIST]
set -uo pipefail
list=${1:-$(dirname "$0")/test-programs.txt}
missing=0
while read -r program package _; do
  [[ -z $program || $program == \#* ]] && continue
  if ! command -v "$program" >/dev/null 2>&1; then
    echo "check-programs: $program is missing (Debian package $package): run scripts/setup.sh" >&2
    missing=1
  fi
done <"$list"
exit "$missing"
