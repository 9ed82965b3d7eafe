# Shared by the build and test scripts (sourced, not run): one line of output per phase with
# the phase's own output kept in a log, quiet package installs, and the compiler cache.

logs="${TARNWICK_LOGS:-$PWD/build/logs}"

# phase NAME COMMAND...: runs COMMAND with its output in $logs/NAME.log (its path left in
# $last_log) and prints one line: the phase, "ok" or "FAILED", and its time. A failure shows the
# end of the log and exits with COMMAND's status.
phase() {
  # Bash scopes dynamically: these names are seen by COMMAND when it is a function.
  local phase_title="$1"
  shift
  mkdir -p "$logs"
  last_log="$logs/${phase_title//[^A-Za-z0-9._-]/-}.log"
  local phase_start=$SECONDS phase_status=0
  printf '%-58s' "$phase_title" >&2
  # In the background, so that a function's failing step stops it: errexit is off for every
  # command that the shell runs as the left side of `||`, functions included.
  "$@" > "$last_log" 2>&1 &
  wait $! || phase_status=$?
  if ((phase_status == 0)); then
    printf ' ok  %4ds\n' $((SECONDS - phase_start)) >&2
    return 0
  fi
  printf ' FAILED after %ds, status %d; the end of %s:\n' $((SECONDS - phase_start)) \
    "$phase_status" "$last_log" >&2
  tail -n 60 "$last_log" | sed 's/^/  | /' >&2
  exit "$phase_status"
}

# install_packages PACKAGE...: installs the Debian packages not yet installed, without
# recommended packages and without apt's progress output.
install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -o Dpkg::Use-Pty=0 "${missing[@]}"
}

# install_tarnwick VENV BUILD_DIR [CONFIG_SETTING...]: builds this checkout in BUILD_DIR and
# installs it into VENV, which must hold scikit-build-core. Without build isolation the build
# tree stays valid from one run to the next, so a second install rebuilds only what changed.
install_tarnwick() {
  local venv="$1" build="$2" setting settings=()
  shift 2
  for setting in "$@"; do settings+=(--config-settings="$setting"); done
  "$venv/bin/python" -m pip install -v --disable-pip-version-check --no-build-isolation \
    --config-settings=build-dir="$build" "${settings[@]}" .
}

# use_ccache: sends every later compile through ccache, once it is installed. With the base
# directory set to the checkout, a clone in another folder still finds what an earlier build of
# the same sources compiled.
use_ccache() {
  command -v ccache > /dev/null || return 0
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$PWD"
  export CCACHE_NOHASHDIR=1
}

# count_gtest LOG: the number of tests that passed, from GoogleTest's closing line.
count_gtest() { sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$1" | tail -1; }

# count_pytest LOG: the number of tests that passed, from pytest's closing line.
count_pytest() { grep -E '^[0-9]+ passed' "$1" | tail -1 | sed 's/ passed.*//'; }
