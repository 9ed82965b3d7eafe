#!/usr/bin/env bash
# The main job: installs tarnwick into a virtual environment and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-host.sh
venv=build/demo-venv
[[ -x "$venv/bin/python" ]] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
  --config-settings=build-dir=build/demo-wheel .
"$venv/bin/python" scripts/demo.py
