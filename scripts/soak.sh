#!/usr/bin/env bash
# A soak run: the studio on its demo (offscreen, in a temporary home, on a
# private output buffer) with a camera reading the program, for a given
# time. Every INTERVAL seconds it prints the studio's resident memory, the
# program's composed and published frames a second, the late frames, and
# the camera's resident memory; a summary at the end.
#   scripts/soak.sh [SECONDS] [INTERVAL]      (defaults: 1800 and 60)
# Needs a built tree (./run or scripts/build.sh build).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-1800}"
interval="${2:-60}"
bin="$root/build/bin"
[[ -x "$bin/corvalind" && -x "$bin/corvalind-ctl" ]] || { echo "build first: scripts/build.sh build" >&2; exit 2; }

home="$(mktemp -d /tmp/corvalind-soak.XXXXXX)"
buffer="CorvalindSoak_$$"
port=0
for candidate in $(shuf -i 20000-60000 -n 20); do
  if ! (exec 3<>/dev/tcp/127.0.0.1/"$candidate") 2>/dev/null; then port=$candidate; break; fi
done
[[ $port -ne 0 ]] || { echo "no free port found" >&2; exit 1; }

studio=0
camera=0
finish() {
  [[ $camera -gt 0 ]] && kill "$camera" 2>/dev/null || true
  [[ $studio -gt 0 ]] && kill "$studio" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$home"
}
trap finish EXIT

export HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DOCUMENTS_DIR="$home/Documents" XDG_RUNTIME_DIR="$home/runtime"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DOCUMENTS_DIR" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
QT_QPA_PLATFORM=offscreen "$bin/corvalind" --demo "$home/demo" --output-name "$buffer" --remote "$port" \
  > "$home/studio.log" 2>&1 &
studio=$!
ctl() { "$bin/corvalind-ctl" --port "$port" --timeout 5000 "$@"; }
for _ in $(seq 100); do ctl status > /dev/null 2>&1 && break; sleep 0.1; done
ctl status > /dev/null || { echo "the studio did not come up:" >&2; cat "$home/studio.log" >&2; exit 1; }
GST_PLUGIN_PATH="$root/build/lib/gstreamer-1.0" gst-launch-1.0 -q corvalindcamsrc buffer-name="$buffer" ! fakesink sync=false \
  > "$home/camera.log" 2>&1 &
camera=$!

rss_mb() { awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status" 2>/dev/null || echo "gone"; }
field() { python3 -c 'import json,sys; print(json.load(sys.stdin)[sys.argv[1]])' "$1"; }

printf '%8s %10s %12s %12s %10s %11s\n' seconds studio_MB composed_fps published late camera_MB
start=$(date +%s)
last_frames=$(ctl status | field publishedFrames)
last_time=$start
min_rss=999999; max_rss=0; fps_sum=0; samples=0; late_total=0
while :; do
  sleep "$interval"
  now=$(date +%s)
  status="$(ctl status)" || { echo "the studio stopped answering" >&2; exit 1; }
  frames=$(field publishedFrames <<< "$status")
  late=$(field lateFrames <<< "$status")
  rss=$(rss_mb "$studio")
  fps=$(python3 -c "print(round(($frames - $last_frames) / max(1, $now - $last_time), 2))")
  printf '%8d %10s %12s %12s %10s %11s\n' $((now - start)) "$rss" "$fps" "$frames" "$late" "$(rss_mb "$camera")"
  min_rss=$(python3 -c "print(min($min_rss, $rss))"); max_rss=$(python3 -c "print(max($max_rss, $rss))")
  fps_sum=$(python3 -c "print($fps_sum + $fps)"); samples=$((samples + 1)); late_total=$late
  last_frames=$frames; last_time=$now
  (( now - start >= seconds )) && break
done
kill -0 "$camera" 2>/dev/null || echo "the camera ended early: $(cat "$home/camera.log")" >&2
echo "summary: ${seconds}s, studio memory ${min_rss}-${max_rss} MB, composed $(python3 -c "print(round($fps_sum / $samples, 2))") frames/s on average, $late_total late frames"
