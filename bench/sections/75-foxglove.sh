#!/usr/bin/env bash
# Foxglove endpoint figures: `travik device` (RGB 640x480, one channel)
# through `travik web --foxglove` to 1 and 8 clients of the protocol's own
# JavaScript client, on the raw topic (RawImage, 921 kB a frame) and on the
# JPEG variant: images/s per client, device stage -> client receive
# latency, and the web process's CPU. Prints one markdown section.
#   bench/sections/75-foxglove.sh BUILD_DIR   (run_all.sh passes build/bench)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${1:-build/bench}"
SECONDS_PER_ROW=6
[[ "${TRAVIK_BENCH_QUICK:-0}" == 1 ]] && SECONDS_PER_ROW=3
FPS=30
cmake --build "$BUILD" -j2 --target travik_tool >&2
TRAVIK="$BUILD/tools/travik"
if ! command -v node >/dev/null || [[ ! -d "$ROOT/tests/web/node_modules/@foxglove/ws-protocol" ]]; then
    echo "[foxglove bench] needs node and the test's npm packages (./travik.sh deps); section left out" >&2
    exit 0
fi

PORT="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
OUT="$(mktemp)"
"$TRAVIK" device --port "$PORT" --fps "$FPS" --size 640x480 --format rgb --channels 0 >/dev/null 2>&1 &
DEVICE=$!
"$TRAVIK" web "127.0.0.1:$PORT" --http 127.0.0.1:0 --foxglove 127.0.0.1:0 --channels 0 --interval 1 >"$OUT" 2>/dev/null &
WEB=$!
trap 'kill -INT $DEVICE $WEB 2>/dev/null || true; wait $DEVICE $WEB 2>/dev/null || true; rm -f "$OUT"' EXIT
URL=""
for _ in $(seq 100); do
    URL="$(sed -n 2p "$OUT")"
    [[ -n "$URL" ]] && break
    sleep 0.1
done
[[ -n "$URL" ]] || { echo "[foxglove bench] travik web printed no endpoint" >&2; exit 1; }

cpu_ticks() { awk '{print $14 + $15}' "/proc/$WEB/stat"; }
TICK="$(getconf CLK_TCK)"

echo "### Foxglove endpoint (\`travik web --foxglove\`)"
echo
echo "Device: RGB 640x480 at $FPS fps on one channel, ${SECONDS_PER_ROW} s per row."
echo
echo "| topic | clients | per client, images/s (slowest / mean) | device stage -> client receive p50 / p99 | web CPU |"
echo "|---|---|---|---|---|"
for TOPIC in /travik/channel/0 /travik/channel/0/jpeg; do
    for CLIENTS in 1 8; do
        START="$(cpu_ticks)"
        T0="$(date +%s.%N)"
        RESULT="$(node "$ROOT/bench/web/foxglove_fanout.js" "$URL" "$CLIENTS" "$SECONDS_PER_ROW" "$TOPIC")"
        T1="$(date +%s.%N)"
        END="$(cpu_ticks)"
        python3 - "$RESULT" "$TOPIC" "$START" "$END" "$TICK" "$T0" "$T1" <<'PY'
import json, sys
r = json.loads(sys.argv[1])
topic, start, end, tick, t0, t1 = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), float(sys.argv[6]), float(sys.argv[7])
cpu = 100.0 * (end - start) / tick / (t1 - t0)
print(f"| `{topic}` | {r['clients']} | {r['slowest']:.1f} / {r['mean']:.1f} | {r['p50Ms']:.1f} ms / {r['p99Ms']:.1f} ms "
      f"| {cpu:.0f} % |")
PY
    done
done
cat <<'NOTES'

Notes: each image is encoded once per topic whatever the number of clients (RawImage is one copy of the pixels
into the protobuf message; the JPEG variant is libjpeg-turbo q85), and only while some client subscribes. Latency
is the device's capture tag to the client's receive of the image (the info message with the same log time carries
the tag); it includes the node client's own decode. Web CPU is the `travik web` process's user + system time over
the row, connection set-up and warm-up included (100 % = one core); it includes the page's own encoding, which
`travik web` always does.
NOTES
