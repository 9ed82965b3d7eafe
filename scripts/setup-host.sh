#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, when missing. Safe to
# run again.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

packages=(g++ cmake ninja-build ccache pkg-config python3-dev python3-venv
          liblz4-dev libicu-dev libtomlplusplus-dev libgtest-dev libabsl-dev
          mmdebstrap mount  # the Debian unstable tree that holds CPython 3.14
          linux-doc)  # the demo's corpus
install_packages "${packages[@]}"
