#!/usr/bin/env bash
# Runs a command inside a Debian unstable tree that holds CPython 3.14 and a current g++, with
# this checkout bind-mounted at /tarnwick. The tree is built once and then reused.
#   scripts/sid-tree.sh COMMAND [ARGS...]       (as root)
set -euo pipefail
checkout="$(cd "$(dirname "$0")/.." && pwd)"
tree="${TARNWICK_SID_TREE:-/var/tmp/tarnwick-sid}"
packages=python3.14-dev,python3.14-venv,g++,cmake,make,ninja-build,pkg-config,liblz4-dev,libicu-dev
packages+=,libtomlplusplus-dev,libgtest-dev,libabsl-dev,python3-pytest,python3-hypothesis
packages+=,python3-scikit-build-core,unicode-data,python3-rich,python3-mypy,ccache

if [[ ! -x "$tree/usr/bin/python3.14" ]]; then
  (cd "$checkout" && source scripts/lib.sh && install_packages mmdebstrap)
  rm -rf "$tree.tmp"
  # The archive's unstable snapshot carries an expired date.
  mmdebstrap --quiet --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' \
    --include="$packages" sid "$tree.tmp"
  mv "$tree.tmp" "$tree"
fi

mkdir -p "$tree/tarnwick"
cleanup() {
  umount "$tree/tarnwick" 2> /dev/null || true
  umount "$tree/proc" 2> /dev/null || true
  umount "$tree/dev/pts" 2> /dev/null || true
  umount "$tree/dev" 2> /dev/null || true
}
trap cleanup EXIT
mountpoint -q "$tree/tarnwick" || mount --bind "$checkout" "$tree/tarnwick"
mountpoint -q "$tree/proc" || mount -t proc proc "$tree/proc"
mountpoint -q "$tree/dev" || mount --bind /dev "$tree/dev"
# Pseudo-terminals, for the tests of what the command line shows on a terminal.
mountpoint -q "$tree/dev/pts" || mount --bind /dev/pts "$tree/dev/pts"
# A tree built by an earlier version of this script may lack packages added since.
missing=()
for p in ${packages//,/ }; do
  chroot "$tree" dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
if ((${#missing[@]})); then
  chroot "$tree" apt-get update -qq
  chroot "$tree" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o Dpkg::Use-Pty=0 \
    "${missing[@]}" > /dev/null
fi
chroot "$tree" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
  bash -c 'cd /tarnwick && "$@"' bash "$@"
