#!/usr/bin/env bash
# Configures (once) and builds one build tree.
#   scripts/build.sh [DIR [CMAKE OPTIONS...]]     default DIR: build
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-build}"
shift || true
cd "$root"
if [[ ! -f "$dir/build.ninja" ]]; then
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
fi
jobs="$(nproc 2>/dev/null || echo 2)"
ninja -C "$dir" -j "$jobs" --quiet
