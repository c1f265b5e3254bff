#!/usr/bin/env bash
# Builds travik-bench against both image compressors (zlib, the default, and
# libdeflate) and runs them one after the other into one table.
#
#   bench/run_all.sh [--quick] [--out FILE]
#
# The zlib build measures every row, ZeroMQ and raw TCP included; the
# libdeflate build measures the rows its compressor changes (compressor
# limit, image throughput, image latency). Build directories default to
# build/bench and build/bench-libdeflate; BENCH_BUILD_ZLIB and
# BENCH_BUILD_LIBDEFLATE override them. Run it on an otherwise idle machine:
# the table records the load average at the start and end of each run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

QUICK=()
OUT="bench-results.md"
while (($# > 0)); do
    case "$1" in
        --quick) QUICK=(--quick) ;;
        --out)
            OUT="$2"
            shift
            ;;
        *)
            echo "usage: bench/run_all.sh [--quick] [--out FILE]" >&2
            exit 2
            ;;
    esac
    shift
done

ZLIB_DIR="${BENCH_BUILD_ZLIB:-build/bench}"
LIBDEFLATE_DIR="${BENCH_BUILD_LIBDEFLATE:-build/bench-libdeflate}"

build() {
    local dir="$1" codec="$2"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTRAVIK_BUILD_BENCH=ON -DTRAVIK_DEFLATE="$codec" >/dev/null
    cmake --build "$dir" -j2 --target travik-bench
}

build "$ZLIB_DIR" zlib
build "$LIBDEFLATE_DIR" libdeflate

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT

echo "[run_all] load average: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
"$ZLIB_DIR/bench/travik-bench" "${QUICK[@]}" --tsv "$TMP/zlib.tsv" --out "$TMP/zlib.md" >/dev/null
echo "[run_all] load average: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
"$LIBDEFLATE_DIR/bench/travik-bench" "${QUICK[@]}" --sections limits,images,imglat --tsv "$TMP/libdeflate.tsv" \
    --out "$TMP/libdeflate.md" >/dev/null
"$ZLIB_DIR/bench/travik-bench" --merge "$TMP/zlib.tsv" "$TMP/libdeflate.tsv" --out "$OUT" \
    --command "bench/run_all.sh${QUICK:+ --quick}"
echo "[run_all] table written to $OUT" >&2
