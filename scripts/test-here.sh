#!/usr/bin/env bash
# Builds and runs every test with one compiler and one Python, one line of output per phase;
# each phase's output is kept in build/logs, and the counts of passed tests in build/logs/counts.
#   scripts/test-here.sh NAME PYTHON
# NAME keeps this environment's build directories apart; PYTHON is the interpreter to test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
use_ccache
name="$1"
python="$2"
venv="build/$name-venv"

make_venv() {
  if [[ "$name" == sid ]]; then
    # The tree's test tools and build backend come from its own packages.
    [[ -x "$venv/bin/python" ]] || "$python" -m venv --system-site-packages "$venv"
  else
    [[ -x "$venv/bin/python" ]] || "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check \
      pytest hypothesis mypy scikit-build-core
  fi
}

# One build tree makes both the C++ test binary and the module that pip installs, so the core
# is compiled once.
install_module() {
  install_tarnwick "$venv" "build/$name" cmake.define.TARNWICK_TESTS=ON \
    cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON
  "$venv/bin/python" -c "import tarnwick.native"
}

build_sanitized() {
  cmake -S . -B "build/$name-asan" -G Ninja -DTARNWICK_TESTS=ON -DTARNWICK_PYTHON=OFF \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DTARNWICK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  cmake --build "build/$name-asan" -j2
}

# record WHAT COUNT: adds a line to the summary that the test script prints at the end.
record() { echo "$name|$1|$2 passed" >> "$logs/counts"; }

phase "$name: virtual environment for $("$python" --version)" make_venv
phase "$name: build the core, the C++ tests and the module" install_module
phase "$name: C++ tests" "build/$name/tarnwick_tests" --gtest_brief=1
record "C++ tests" "$(count_gtest "$last_log")"
if [[ "$name" == host ]]; then
  # Once is enough; the unstable tree's g++ rejects its abseil headers under UBSan.
  phase "$name: build the C++ tests with sanitizers" build_sanitized
  phase "$name: C++ tests under AddressSanitizer and UBSan" "build/$name-asan/tarnwick_tests" \
    --gtest_brief=1
  record "C++ tests under sanitizers" "$(count_gtest "$last_log")"
fi
phase "$name: Python tests" "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
record "Python tests" "$(count_pytest "$last_log")"
