#!/usr/bin/env bash
# Reproduce bench/README.md from nothing: Debian packages for the corpus and for Xapian's
# bindings, a venv with a release build of the module plus tantivy, then the comparison.
# Usage: bench/run-compare.sh [extra compare.py options, e.g. --docs 100000,1000000]
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
need=()
for p in linux-doc python3.11-doc python3-venv python3-dev python3-xapian; do
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" = installed ] || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}"
fi

# Xapian's bindings exist only as a Debian package for Debian's own python3, so the venv is
# made from that interpreter and sees its packages; what pip installs in the venv comes first.
VENV=build/bench-venv
if ! "$VENV/bin/python" -c 'import xapian' 2>/dev/null; then
  rm -rf "$VENV" build/bench-wheel  # a venv of another interpreter, and its build tree
  /usr/bin/python3 -m venv --system-site-packages "$VENV"
fi
if [ "${REBUILD:-1}" = 1 ] || ! "$VENV/bin/python" -c 'import tarnwick.native' 2>/dev/null; then
  # Release build through scikit-build-core.
  "$VENV/bin/pip" install -q --config-settings=build-dir=build/bench-wheel . tantivy
fi

export COMPARE_COMMAND="bench/run-compare.sh $*"
"$VENV/bin/python" bench/compare.py --readme bench/README.md "$@"
