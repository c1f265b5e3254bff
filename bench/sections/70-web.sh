#!/usr/bin/env bash
# Live page figures: encode cost per frame, fan-out to 1 and 8 WebSocket
# clients through `travik device` + `travik web` (added latency, web CPU),
# and, when chromium and the browser test's npm packages are installed,
# device stage -> drawn in a real page. Prints one markdown section.
#   bench/sections/70-web.sh BUILD_DIR   (run_all.sh passes build/bench)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${1:-build/bench}"
cmake --build "$BUILD" -j2 --target travik-web-bench travik_tool >&2
TRAVIK="$BUILD/tools/travik"
"$BUILD/bench/travik-web-bench" --travik "$TRAVIK" --seconds 8

CHROMIUM="${TRAVIK_CHROMIUM:-/usr/bin/chromium}"
if [[ -x "$CHROMIUM" && -d "$ROOT/tests/web/node_modules/puppeteer-core" ]] && command -v node >/dev/null; then
    echo "[web bench] device stage -> drawn in a page" >&2
    PORT="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
    OUT="$(mktemp)"
    "$TRAVIK" device --port "$PORT" --fps 10 --size 640x480 --format rgb --log-rate 10 >/dev/null 2>&1 &
    DEVICE=$!
    "$TRAVIK" web "127.0.0.1:$PORT" --http 127.0.0.1:0 --logs --interval 1 >"$OUT" 2>/dev/null &
    WEB=$!
    trap 'kill -INT $DEVICE $WEB 2>/dev/null || true; wait $DEVICE $WEB 2>/dev/null || true; rm -f "$OUT"' EXIT
    URL=""
    for _ in $(seq 100); do
        URL="$(head -n1 "$OUT")"
        [[ -n "$URL" ]] && break
        sleep 0.1
    done
    if [[ -n "$URL" ]] && RESULT="$(TRAVIK_CHROMIUM="$CHROMIUM" node "$ROOT/bench/web/page_latency.js" "$URL" 8)"; then
        python3 - "$RESULT" <<'PY'
import json, sys
r = json.loads(sys.argv[1])
print(f"\nIn headless chromium (same device and page, one tab, 8 s): {r['imagesPerSecond']:.1f} images/s drawn, "
      f"device stage -> drawn p50 {r['p50Ms']:.1f} ms, p99 {r['p99Ms']:.1f} ms.")
PY
    else
        echo "[web bench] the page measurement failed; row left out" >&2
    fi
fi
cat <<'NOTES'

Notes: encode cost is one core's time for one frame (libjpeg-turbo q85 with 4:2:0 chroma, gray as one-component
JPEG; PNG via libspng at level 1), done once per frame whatever the number of tabs. *Added by the web hop* is the
WebSocket clients' latency (device stage -> message read) minus that of a direct travik viewer of the same device
in the same run; *per client* close to *device delivered* means no tab falls behind. Web CPU is the `travik web`
process's user + system time over the window (100 % = one core).
NOTES
