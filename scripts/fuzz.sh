#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]    (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
seconds="${1:-60}"

install_clang() {
  install_packages clang
  local major
  major=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)
  install_packages "libclang-rt-$major-dev"
}

build() {
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTARNWICK_FUZZ=ON \
    -DTARNWICK_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build/fuzz -j2
}

# run TARGET: fuzzes TARGET, keeping its corpus between runs; a crash fails the phase.
run() {
  local corpus="build/fuzz/corpus-$(basename "$1")"
  mkdir -p "$corpus"
  "$1" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=4096 "$corpus"
}

phase "fuzz: set-up" scripts/setup-host.sh
phase "fuzz: clang and its fuzzing runtime" install_clang
use_ccache
phase "fuzz: build the targets with clang" build
for target in build/fuzz/fuzz/*_fuzz; do
  name=$(basename "$target")
  phase "fuzz: $name for ${seconds}s" run "$target"
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$last_log")
  echo "fuzz|$name|${runs:-0} runs, no crash" >> "$logs/counts"
done
