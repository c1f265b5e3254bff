#!/usr/bin/env bash
# H.264 against JPEG (the page) and deflate (the device link): bytes per
# second, PSNR and encode CPU at 640x480 and 1280x720, on real camera
# footage (Debian's opencv-doc) and on the noisy test pattern; then the
# staging -> decoded latency of H.264 through `travik web` and, with
# nats-server installed, through `travik bridge` and NATS. Prints one
# markdown section.
#   bench/sections/72-video.sh BUILD_DIR   (run_all.sh passes build/bench)
set -euo pipefail
BUILD="${1:-build/bench}"
cmake --build "$BUILD" -j2 --target travik-video-bench travik-video-latency travik_tool >&2
FRAMES=150
SECONDS_PER_ROW=10
if [[ "${TRAVIK_BENCH_QUICK:-0}" == 1 ]]; then
    FRAMES=30
    SECONDS_PER_ROW=2
fi
"$BUILD/bench/travik-video-bench" --frames "$FRAMES"

NATS=()
if command -v nats-server >/dev/null; then
    NATS=(--nats-server "$(command -v nats-server)")
else
    echo "[video bench] nats-server not installed: the NATS rows are left out" >&2
fi
cat <<'HEAD'

Staging -> decoded, H.264 (30 images/s of the moving noisy test pattern, RGB, one channel):

| path | size | bitrate | pictures/s read | kb/s received | total p50 / p99 ms | direct viewer p50 / p99 ms | added p50 / p99 ms | unreadable |
|---|---|---|---|---|---|---|---|---|
HEAD
for size in 640x480 1280x720; do
    rate=2M
    [[ "$size" == 640x480 ]] && rate=1M
    "$BUILD/bench/travik-video-latency" --travik "$BUILD/tools/travik" "${NATS[@]}" --size "$size" \
        --bitrate "$rate" --seconds "$SECONDS_PER_ROW"
done
cat <<'NOTES'

Notes: this program is both the device (the library, staging each image) and the watcher (a WebSocket client of
the page that turns video on and decodes every unit with openh264's decoder), so one clock serves both ends. Each
image carries its staging time in its pixels as 40 black or white 32-pixel blocks with an inverted copy (blocks this
size survive H.264); the watcher reads it back from the decoded picture. The span covers the device link (deflate level 1),
the tool's RGB -> I420 conversion and encoding, the page's WebSocket and the decode; through NATS also the bridge's
publish, nats-server and `travik web nats://`, which passes the bridge's units through. *Unreadable* counts pictures
whose stamp did not survive (0 expected). The first 2 s (4 s through NATS) are left out.
NOTES
