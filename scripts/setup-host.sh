#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build pkg-config liblz4-dev libicu-dev libtomlplusplus-dev libgtest-dev
          libabsl-dev mmdebstrap python3-venv
          linux-doc)  # the demo's corpus
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" > /dev/null
fi

