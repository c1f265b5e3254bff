#!/usr/bin/env bash
# Micro-benchmarks of the library's layers (travik_micro_bench, zlib build):
# a selection, as one markdown section. $1: the benchmark build directory.
set -euo pipefail
BIN="${1:?usage: 80-micro.sh BUILD_DIR}/bench/travik_micro_bench"
[[ -x "$BIN" ]] || cmake --build "$1" -j2 --target travik_micro_bench >&2
MIN_TIME=0.3
[[ "${TRAVIK_BENCH_QUICK:-0}" == 1 ]] && MIN_TIME=0.02
FILTER='BM_WriteLogFrame/100$|BM_WriteCommandFrame|BM_WriteImageFrame/shape:[0-2]/channels:4|BM_CompressRecordsOnly/shape:[0-2]/channels:4|BM_Receive(Log|Image)Stream/chunk:(64|4096|1048576)$|BM_SendLogInfo|BM_SendImageDataPtr'
echo "micro-benchmarks (min time ${MIN_TIME} s each)" >&2
JSON="$(mktemp)"
trap 'rm -f "$JSON"' EXIT
"$BIN" --benchmark_min_time="$MIN_TIME" --benchmark_filter="$FILTER" \
    --benchmark_out="$JSON" --benchmark_out_format=json >/dev/null 2>&1

echo "### Micro-benchmarks (zlib build)"
echo
echo "\`travik_micro_bench --benchmark_min_time=$MIN_TIME\`, a selection. Time per iteration as Google Benchmark"
echo "reports it (real time for the threaded and image rows); rates in MB/s (10^6 bytes) of the benchmark's"
echo "bytes: raw image bytes for the image writers, wire bytes for the receive path."
echo
echo "| benchmark | time per iteration | rate |"
echo "|---|---:|---:|"
# Google Benchmark's JSON has one field per line; a benchmark's fields
# follow its "name" line.
awk '
function flush() {
    if (name == "") return
    t = (name ~ /real_time|Image/) ? real : cpu
    u = unit
    if (u == "ns" && t >= 1e6) { t /= 1e6; u = "ms" } else if (u == "ns" && t >= 1e3) { t /= 1e3; u = "µs" }
    if (u == "us") u = "µs"
    rate = (bps != "") ? sprintf("%.1f MB/s", bps / 1e6) : ((ips != "") ? sprintf("%.2f M items/s", ips / 1e6) : "—")
    fmt = t >= 100 ? "%.0f" : (t >= 10 ? "%.1f" : "%.2f")
    printf "| %s | " fmt " %s | %s |\n", name, t, u, rate
    name = ""; bps = ""; ips = ""
}
function value(line) { sub(/^[^:]*: */, "", line); sub(/,$/, "", line); gsub(/"/, "", line); return line }
/^ *"name":/ { flush(); name = value($0) }
/^ *"real_time":/ { real = value($0) + 0 }
/^ *"cpu_time":/ { cpu = value($0) + 0 }
/^ *"time_unit":/ { unit = value($0) }
/^ *"bytes_per_second":/ { bps = value($0) + 0 }
/^ *"items_per_second":/ { ips = value($0) + 0 }
END { flush() }
' "$JSON"
echo
echo "Items/s of the threads:4 rows is the total over the four threads; on two cores those rows mostly show"
echo "contention on the staging lock, not a per-call cost."
