#!/usr/bin/env bash
# Reproduce bench/README.md from nothing: Debian packages for the corpus,
# a venv with a release build of the module plus tantivy, then the comparison.
# Usage: bench/run-compare.sh [extra compare.py options]
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
need=()
[ -d /usr/share/doc/linux-doc/Documentation ] || need+=(linux-doc)
[ -d /usr/share/doc/python3.11/html/_sources ] || need+=(python3.11-doc)
if [ ${#need[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}"
fi

PY=${PYTHON:-python3}
if [ ! -x build/bench-venv/bin/python ]; then
  "$PY" -m venv build/bench-venv
fi
if [ "${REBUILD:-1}" = 1 ] || ! build/bench-venv/bin/python -c 'import tarnwick.native' 2>/dev/null; then
  # Release build through scikit-build-core.
  build/bench-venv/bin/pip install -q --config-settings=build-dir=build/bench-wheel . tantivy
fi

export COMPARE_COMMAND="bench/run-compare.sh $*"
build/bench-venv/bin/python bench/compare.py --readme bench/README.md "$@"
