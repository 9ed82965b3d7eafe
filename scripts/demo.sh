#!/usr/bin/env bash
# The main job: installs tarnwick into a virtual environment and runs the demo. The set-up is
# one line per phase (its output is in build/logs); a second run rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
venv=build/demo-venv

make_venv() {
  [[ -x "$venv/bin/python" ]] || python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core
}

phase "demo: Debian packages" scripts/setup-host.sh
use_ccache
phase "demo: virtual environment" make_venv
phase "demo: build and install tarnwick" install_tarnwick "$venv" build/demo
"$venv/bin/python" scripts/demo.py
