#!/usr/bin/env bash
# The whole test suite, set-up included: the C++ tests (plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer) and the Python tests on the host's Python, then the same build and
# tests with CPython 3.14 and a current g++ in a Debian unstable tree, and a short fuzzing run
# of every decoder with clang. One line per phase; each phase's output is in build/logs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
mkdir -p "$logs"
: > "$logs/counts"

phase "host: Debian packages" scripts/setup-host.sh
scripts/test-here.sh host python3
phase "sid: Debian unstable tree with CPython 3.14" scripts/sid-tree.sh true
scripts/sid-tree.sh scripts/test-here.sh sid python3.14
scripts/fuzz.sh 20

echo
total=0
while IFS='|' read -r where what result; do
  printf '%-6s %-30s %s\n' "$where" "$what" "$result"
  if [[ "$result" =~ ^([0-9]+)\ passed$ ]]; then total=$((total + BASH_REMATCH[1])); fi
done < "$logs/counts"
echo "tests: $total passed, 0 failed"
