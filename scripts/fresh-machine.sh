#!/usr/bin/env bash
# Proves the set-up from nothing: builds a minimal root file system of this machine's Debian
# release (essential packages and apt, plus git, python3 and ca-certificates: no compiler, no
# library headers), clones the committed checkout into it and runs the README's two commands
# there as root, then the main job a second time. Prints pass or fail and the time of each;
# their output is in the tree's /root/tarnwick/build/logs and in $TREE.logs/.
#   scripts/fresh-machine.sh          (as root; about half an hour on two cores)
# TARNWICK_FRESH_TREE chooses the tree's place (default /var/tmp/tarnwick-fresh); it is rebuilt
# on every run.
set -euo pipefail
checkout="$(cd "$(dirname "$0")/.." && pwd)"
tree="${TARNWICK_FRESH_TREE:-/var/tmp/tarnwick-fresh}"
cd "$checkout"
source scripts/lib.sh
logs="$tree.logs"
rm -rf "$logs"

build_tree() {
  install_packages mmdebstrap
  rm -rf "$tree"
  local release
  release=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mmdebstrap --quiet --variant=apt --include=git,python3,ca-certificates "$release" "$tree"
  # The way out to the package archives may pass a proxy whose certificate authority only this
  # machine's bundle holds; a new machine here would carry it too.
  cp /etc/ssl/certs/ca-certificates.crt "$tree/etc/ssl/certs/ca-certificates.crt"
  cp /etc/resolv.conf "$tree/etc/resolv.conf"
  git clone --quiet --no-hardlinks "$checkout" "$tree/root/tarnwick"
}

# inside COMMAND...: runs COMMAND in the tree, in the clone, as root with a clean environment,
# in a mount namespace of its own so that no mount outlives it.
inside() {
  local env=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
             LANG=C.UTF-8)
  local name
  for name in SSL_CERT_FILE PIP_CERT REQUESTS_CA_BUNDLE; do
    [[ -n "${!name:-}" ]] && env+=("$name=${!name}")
  done
  unshare --mount --propagation private -- bash -c '
    tree="$1"; shift
    mount -t proc proc "$tree/proc"
    mount --rbind /dev "$tree/dev"
    mount --rbind /sys "$tree/sys"
    exec chroot "$tree" /usr/bin/env -i "$@"' bash "$tree" "${env[@]}" \
    bash -c 'cd /root/tarnwick && "$@"' bash "$@"
}

phase "fresh machine: minimal root file system" build_tree
status=0
for step in "./scripts/demo.sh" "./scripts/test.sh" "./scripts/demo.sh"; do
  start=$SECONDS
  log="$logs/$(basename "$step" .sh)-$start.log"
  if inside "$step" > "$log" 2>&1; then result=pass; else result=FAIL; status=1; fi
  printf '%-4s %-22s %3dm%02ds   (log: %s)\n' "$result" "$step" $(((SECONDS - start) / 60)) \
    $(((SECONDS - start) % 60)) "$log"
done
echo "what ./scripts/test.sh printed:"
sed 's/^/  /' "$logs"/test-*.log
exit "$status"
