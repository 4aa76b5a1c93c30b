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
rss_limit_mb=2048  # libFuzzer's own default
extra=()
case "$target" in
  settings_fuzzer) corpus=platform/fuzz/settings_corpus ;;
  project_fuzzer) corpus=studio/files/fuzz/project_corpus ;;
  scenes_fuzzer) corpus=studio/files/fuzz/scenes_corpus ;;
  # Pictures up to 1 MiB. A picture within the reader's limit (256 MiB
  # decoded, twice while it converts) stays far below the memory limit;
  # only a leak or a runaway allocation reaches it.
  # Long inputs from the start (libFuzzer otherwise grows the length it
  # tries slowly from a few hundred bytes).
  picture_fuzzer) corpus=platform/freeimage/fuzz/picture_corpus; max_len=1048576; rss_limit_mb=1500
    extra=(-len_control=0) ;;
  picture_scale_fuzzer) corpus=platform/freeimage/fuzz/picture_scale_corpus; max_len=4096 ;;
  net_packet_fuzzer) corpus=vcam/fuzz/net_packet_corpus; max_len=4096 ;;
  ini_fuzzer) corpus=producer/fuzz/ini_corpus; max_len=4096 ;;
  # Replies past the client's limits (8 KiB a line, 1000 lines) included.
  ftp_reply_fuzzer) corpus=producer/fuzz/ftp_reply_corpus; max_len=16384 ;;
  update_reply_fuzzer) corpus=studio/fuzz/update_reply_corpus; max_len=4096 ;;
  # Messages past the protocol's 64 KiB limit included.
  remote_request_fuzzer) corpus=studio/remote/fuzz/remote_corpus; max_len=70000 ;;
  *) echo "unknown fuzz target: $target" >&2; exit 2 ;;
esac
# A corrupt header can make the picture library ask for a huge block; in
# production malloc answers null and the reader refuses the file, so the
# fuzzers let the allocation fail the same way instead of stopping there.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}allocator_may_return_null=1"
if [[ ! -f build-fuzz/build.ninja ]]; then
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCORVALIND_FUZZ=ON -DCORVALIND_BUILD_TESTS=OFF -DCORVALIND_BUILD_PROGRAMS=OFF \
    -DCORVALIND_BUILD_BENCHMARKS=OFF >/dev/null
fi
ninja -C build-fuzz --quiet "$target"
found="build-fuzz/found-$target"
mkdir -p "$found"
"build-fuzz/bin/$target" -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb="$rss_limit_mb" -artifact_prefix="$found/" "${extra[@]}" "$found" "$corpus"
# Keep only inputs that add coverage.
"build-fuzz/bin/$target" -merge=1 "$corpus" "$found"
