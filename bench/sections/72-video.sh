#!/usr/bin/env bash
# H.264 against JPEG (the page) and deflate (the device link): bytes per
# second, PSNR and encode CPU at 640x480 and 1280x720, on real camera
# footage (Debian's opencv-doc) and on the noisy test pattern. Prints one
# markdown section.
#   bench/sections/72-video.sh BUILD_DIR   (run_all.sh passes build/bench)
set -euo pipefail
BUILD="${1:-build/bench}"
cmake --build "$BUILD" -j2 --target travik-video-bench >&2
FRAMES=150
[[ "${TRAVIK_BENCH_QUICK:-0}" == 1 ]] && FRAMES=30
"$BUILD/bench/travik-video-bench" --frames "$FRAMES"
