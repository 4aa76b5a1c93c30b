#!/usr/bin/env bash
# Runs a libFuzzer target (built with clang) for a while and adds the new
# inputs it found to the target's corpus, which ./test replays.
#   scripts/fuzz.sh settings_fuzzer [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
target="${1:?usage: scripts/fuzz.sh TARGET [SECONDS]}"
seconds="${2:-60}"
max_len=256  # the longest input tried; a target whose inputs need more sets its own
case "$target" in
  settings_fuzzer) corpus=platform/fuzz/settings_corpus ;;
  project_fuzzer) corpus=studio/files/fuzz/project_corpus ;;
  scenes_fuzzer) corpus=studio/files/fuzz/scenes_corpus ;;
  picture_fuzzer) corpus=platform/freeimage/fuzz/picture_corpus ;;
  net_packet_fuzzer) corpus=vcam/fuzz/net_packet_corpus; max_len=4096 ;;
  ini_fuzzer) corpus=producer/fuzz/ini_corpus; max_len=4096 ;;
  *) echo "unknown fuzz target: $target" >&2; exit 2 ;;
esac
if [[ ! -f build-fuzz/build.ninja ]]; then
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCORVALIND_FUZZ=ON -DCORVALIND_BUILD_TESTS=OFF -DCORVALIND_BUILD_PROGRAMS=OFF \
    -DCORVALIND_BUILD_BENCHMARKS=OFF >/dev/null
fi
ninja -C build-fuzz --quiet "$target"
found="build-fuzz/found-$target"
mkdir -p "$found"
"build-fuzz/bin/$target" -max_total_time="$seconds" -max_len="$max_len" -artifact_prefix="$found/" "$found" "$corpus"
# Keep only inputs that add coverage.
"build-fuzz/bin/$target" -merge=1 "$corpus" "$found"
