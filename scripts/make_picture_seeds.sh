#!/usr/bin/env bash
# Writes the seed pictures (PNG, JPEG, BMP, GIF, TGA in their common
# depths) into both picture fuzz corpora; the scale corpus gets each seed
# behind the two bytes that choose the layer size.
#   scripts/make_picture_seeds.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
ninja -C "$build" --quiet make_picture_seeds
corpus="$root/platform/freeimage/fuzz/picture_corpus"
scale="$root/platform/freeimage/fuzz/picture_scale_corpus"
mkdir -p "$corpus" "$scale"
"$build/bin/make_picture_seeds" "$corpus"
for seed in "$corpus"/seed-*; do
  { printf '\x1f\x17'; cat "$seed"; } > "$scale/$(basename "$seed")"
done
