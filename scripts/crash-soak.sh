#!/usr/bin/env bash
# The test suite's crash test at length: a writer killed with SIGKILL at random points, KILLS
# times over one directory, every promise checked after each kill.
#   scripts/crash-soak.sh [KILLS]      (default 2000: over an hour on 2 cores, each check taking
#                                       longer as the directory fills)
set -euo pipefail
cd "$(dirname "$0")/.."
kills="${1:-2000}"
[[ -x build/host-venv/bin/python ]] || scripts/test-here.sh host python3
TARNWICK_CRASH_KILLS="$kills" build/host-venv/bin/python -m pytest -q -p no:cacheprovider \
  tests/python/test_crash.py
