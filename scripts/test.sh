#!/usr/bin/env bash
# The whole test suite, set-up included: the C++ tests (plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer) and the Python tests on the host's Python, then the same build and
# tests with CPython 3.14 and a current g++ in a Debian unstable tree, and a short fuzzing run
# of every decoder with clang.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-host.sh
scripts/test-here.sh host python3
scripts/sid-tree.sh scripts/test-here.sh sid python3.14
scripts/fuzz.sh 20
echo "all tests passed on the host and on CPython 3.14"
