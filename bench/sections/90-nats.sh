#!/usr/bin/env bash
# Section: one device and 1, 10 and 50 viewers, each viewer connected
# directly or through `travik bridge` and a local nats-server: the device's
# CPU and bytes written, images/s at the slowest viewer, latency p50/p99.
#
#   bench/sections/90-nats.sh BUILD_DIR [SECONDS]
#
# BUILD_DIR holds tools/travik built with NATS. Needs nats-server. Markdown
# on stdout, progress on stderr. Every process started here is ended by its
# pid.
set -euo pipefail

BUILD="${1:?usage: 90-nats.sh BUILD_DIR [SECONDS]}"
SECS="${2:-5}"
[[ "${TRAVIK_BENCH_QUICK:-0}" == 1 ]] && SECS=2
command -v nats-server >/dev/null || { echo "nats-server not installed" >&2; exit 1; }
cmake --build "$BUILD" -j2 --target travik_tool >&2
TRAVIK="$BUILD/tools/travik"
FPS=20
SIZE=320x240
TMP="$(mktemp -d)"
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$TMP"
}
trap cleanup EXIT

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
wchar() { awk '/^wchar/ {print $2}' "/proc/$1/io"; }

nats-server -a 127.0.0.1 -p -1 --ports_file_dir "$TMP" >"$TMP/nats.log" 2>&1 &
NATS_PID=$!
PIDS+=("$NATS_PID")
for _ in $(seq 100); do [[ -s "$TMP/nats-server_$NATS_PID.ports" ]] && break; sleep 0.05; done
NATS_URL="$(grep -o 'nats://[0-9.:]*' "$TMP/nats-server_$NATS_PID.ports" | head -1)"

row() {  # MODE VIEWERS
    local mode=$1 n=$2 port=$((17400 + RANDOM % 2000))
    "$TRAVIK" device --port "$port" --fps "$FPS" --size "$SIZE" --channels 0 --log-rate 0 --noise 8 \
        >/dev/null 2>"$TMP/device.log" &
    local dev=$!
    PIDS+=("$dev")
    sleep 0.5
    local target="127.0.0.1:$port" bridge=""
    if [[ $mode == nats ]]; then
        "$TRAVIK" bridge "127.0.0.1:$port" --nats "$NATS_URL" --name bench --interval 1 2>"$TMP/bridge.log" &
        bridge=$!
        PIDS+=("$bridge")
        target="$NATS_URL/bench"
        sleep 0.5
    fi
    local t0 w0
    t0=$(cpu_ticks "$dev")
    w0=$(wchar "$dev")
    local views=()
    for i in $(seq "$n"); do
        "$TRAVIK" view "$target" --channels 0 --interval 1 --duration "$SECS" >/dev/null 2>"$TMP/view$i.log" &
        views+=($!)
    done
    for v in "${views[@]}"; do wait "$v" || true; done
    local t1 w1
    t1=$(cpu_ticks "$dev")
    w1=$(wchar "$dev")
    [[ -n $bridge ]] && kill "$bridge" && wait "$bridge" 2>/dev/null || true
    kill "$dev"
    wait "$dev" 2>/dev/null || true
    local hz
    hz=$(getconf CLK_TCK)
    # Slowest viewer's images/s from its summary; latency from its last
    # per-second status line.
    local slow="" p50="" p99=""
    for i in $(seq "$n"); do
        local rate
        rate=$(awk '/images \(ch0/ {for (k = 1; k <= NF; k++) if ($k == "in") {print $3 / $(k + 1); exit}}' \
            "$TMP/view$i.log")
        [[ -z $rate ]] && rate=0
        if [[ -z $slow ]] || awk -v a="$rate" -v b="$slow" 'BEGIN {exit !(a < b)}'; then
            slow=$rate
            p50=$(grep -o 'p50 [0-9.]* [mu]*s' "$TMP/view$i.log" | tail -1 | cut -d' ' -f2-)
            p99=$(grep -o 'p99 [0-9.]* [mu]*s' "$TMP/view$i.log" | tail -1 | cut -d' ' -f2-)
        fi
    done
    awk -v m="$mode" -v n="$n" -v c="$(((t1 - t0)))" -v hz="$hz" -v s="$SECS" -v w="$((w1 - w0))" \
        -v r="$slow" -v p50="$p50" -v p99="$p99" \
        'BEGIN {printf "| %s | %d | %.1f | %.2f | %.1f | %s | %s |\n", m, n, 100 * c / hz / s, w / s / 1e6, r, p50, p99}'
    echo "row $mode $n done" >&2
}

LOAD_START="$(cut -d' ' -f1 /proc/loadavg)"
echo "### One device, many viewers: direct versus through NATS"
echo
echo "\`travik device --fps $FPS --size $SIZE --channels 0 --noise 8\`, viewers \`travik view --channels 0"
echo "--interval 1 --duration $SECS\`, all on one machine (loopback; one nats-server, one bridge)."
echo "Device CPU = its user+system time over the run; device MB/s = bytes it wrote to sockets (wchar)."
echo "Latency = the slowest viewer's last per-second p50/p99 (device clock to viewer callback)."
echo
echo "| path | viewers | device CPU % | device MB/s written | images/s slowest viewer | latency p50 | latency p99 |"
echo "|---|---:|---:|---:|---:|---:|---:|"
for n in 1 10 50; do
    row direct "$n"
    row nats "$n"
done
echo
echo "Load average $LOAD_START at the start, $(cut -d' ' -f1 /proc/loadavg) at the end (2 cores, shared with other builds)."
