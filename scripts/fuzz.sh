#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]    (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

scripts/setup-host.sh
if ! command -v clang++ > /dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang > /dev/null
fi
major=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)
runtime="libclang-rt-$major-dev"
if ! dpkg-query -W -f='${Status}' "$runtime" 2> /dev/null | grep -q "install ok installed"; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$runtime" > /dev/null
fi

cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTARNWICK_FUZZ=ON \
  -DTARNWICK_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build/fuzz -j2
for target in build/fuzz/fuzz/*_fuzz; do
  corpus="build/fuzz/corpus-$(basename "$target")"
  mkdir -p "$corpus"
  echo "== $(basename "$target") for ${seconds}s"
  "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=4096 "$corpus" 2>&1 | tail -3
done
