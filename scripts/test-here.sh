#!/usr/bin/env bash
# Builds and runs every test with one compiler and one Python.
#   scripts/test-here.sh NAME PYTHON
# NAME keeps this environment's build directories apart; PYTHON is the interpreter to test.
set -euo pipefail
cd "$(dirname "$0")/.."
name="$1"
python="$2"

configure_and_test() {
  local dir="build/$name-$1"
  shift
  cmake -S . -B "$dir" -G Ninja -DTARNWICK_TESTS=ON -DTARNWICK_PYTHON=OFF \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" > /dev/null
  cmake --build "$dir" -j2
  "$dir/tarnwick_tests" --gtest_brief=1
}

echo "== $name: C++ tests"
configure_and_test tests
if [[ "$name" == host ]]; then
  # Once is enough; the unstable tree's g++ rejects its abseil headers under UBSan.
  echo "== $name: C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  configure_and_test asan -DTARNWICK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
fi

echo "== $name: Python tests"
venv="build/$name-venv"
if [[ ! -x "$venv/bin/python" ]]; then
  # The tree's test tools come from its own packages, so its environment sees them.
  if [[ "$name" == sid ]]; then
    "$python" -m venv --system-site-packages "$venv"
  else
    "$python" -m venv "$venv"
  fi
fi
if [[ "$name" == sid ]]; then
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --config-settings=build-dir="build/$name-wheel" .
else
  "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest hypothesis mypy
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    --config-settings=build-dir="build/$name-wheel" .
fi
"$venv/bin/python" -c "import tarnwick.native"
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
