#!/usr/bin/env bash
# Benchmark section: travik record / replay. Prints one markdown section on
# standard output, progress on standard error. Expects the bench build
# directory (configured by run_all.sh) as $1 and builds what it needs.
#   - recorder throughput: the MCAP writer (zstd and stored chunks) against
#     the disk's own write speed for the same bytes, measured in this run;
#   - file size per minute for the demo's four channels;
#   - the Foxglove layout (what record writes) against the travik layout of
#     earlier versions, both measured in this run;
#   - replay pace: p50/p99 of (staging time - recorded time) over a replay.
set -euo pipefail

BUILD="$(cd "${1:?usage: 50-record.sh BUILD_DIR}" && pwd)"
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
LOAD_START="$(cut -d' ' -f1 /proc/loadavg)"
cmake --build "$BUILD" -j2 --target travik_tool travik-record-bench >&2
TOOL="$BUILD/tools/travik"
RB="$BUILD/bench/travik-record-bench"
WORK="$(mktemp -d "$BUILD/record-bench.XXXXXX")"
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT

# Per writer run (at 10 images/s per channel, 15.4 MB of raw images per second
# of data), and the length of the recording that is replayed.
SECONDS_OF_DATA=30
REPLAY_SECONDS=10
if [[ "${TRAVIK_BENCH_QUICK:-0}" == 1 ]]; then
    SECONDS_OF_DATA=8
    REPLAY_SECONDS=4
fi
declare -A RATE SIZE
# RATE/SIZE keys: mode, noise, and "t" for the travik layout.
for noise in 0 8; do
    for run in plain none zstd nonet zstdt; do
        mode="${run%t}" layout=foxglove
        [[ "$run" == *t ]] && layout=travik
        echo "[record] writer: $mode, $layout layout, noise $noise" >&2
        line="$("$RB" --dir "$WORK" --seconds "$SECONDS_OF_DATA" --fps 10 --noise "$noise" --mode "$mode" --layout "$layout")"
        IFS=$'\t' read -r _ _ raw file secs mbps _ <<<"$line"
        key="$mode$noise${run#"$mode"}"
        RATE[$key]="$mbps"
        SIZE[$key]="$(awk -v f="$file" -v s="$SECONDS_OF_DATA" 'BEGIN { printf "%.0f", f * 60 / s / 1e6 }')"
    done
done

# Replay pace: record a device, play it back to a viewer.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_for() {  # file text: bounded wait for a readiness line
    for _ in $(seq 1 200); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}
DPORT="$(free_port)"
"$TOOL" device --port "$DPORT" --fps 25 --size 320x240 --noise 8 --log-rate 5 2>"$WORK/device.err" &
PIDS+=($!)
wait_for "$WORK/device.err" "listening on port"
echo "[record] recording ${REPLAY_SECONDS} s for the replay" >&2
"$TOOL" record "127.0.0.1:$DPORT" -o "$WORK/pace.mcap" --logs --interval 1 --duration "$REPLAY_SECONDS" 2>"$WORK/record.err"
kill "${PIDS[0]}"
RPORT="$(free_port)"
"$TOOL" replay "$WORK/pace.mcap" --port "$RPORT" 2>"$WORK/replay.err" &
RPID=$!
PIDS+=($RPID)
wait_for "$WORK/replay.err" "waiting for a viewer"
"$TOOL" view "127.0.0.1:$RPORT" --logs --interval 1 --duration 60 >/dev/null 2>"$WORK/view.err" &
PIDS+=($!)
echo "[record] replaying" >&2
wait "$RPID"
pace="$(grep -o 'pace deviation p50 [0-9-]* us, p99 [0-9-]* us' "$WORK/replay.err")"
p50="$(sed 's/.*p50 \([0-9-]*\) us.*/\1/' <<<"$pace")"
p99="$(sed 's/.*p99 \([0-9-]*\) us.*/\1/' <<<"$pace")"
staged="$(grep -o 'staged [0-9]* images and [0-9]* log texts' "$WORK/replay.err")"

LOAD_END="$(cut -d' ' -f1 /proc/loadavg)"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
cat <<MD
### Recording and replay (travik record / replay)

| Frames (demo's four channels) | Disk, plain write (MB/s) | Stored chunks (MB/s) | zstd chunks (MB/s) | File per minute, stored (MB) | File per minute, zstd (MB) |
|---|---|---|---|---|---|
| demo test pattern, no noise | ${RATE[plain0]} | ${RATE[none0]} ($(ratio "${RATE[none0]}" "${RATE[plain0]}")x disk) | ${RATE[zstd0]} ($(ratio "${RATE[zstd0]}" "${RATE[plain0]}")x disk) | ${SIZE[none0]} | ${SIZE[zstd0]} |
| with sensor noise ±8 | ${RATE[plain8]} | ${RATE[none8]} ($(ratio "${RATE[none8]}" "${RATE[plain8]}")x disk) | ${RATE[zstd8]} ($(ratio "${RATE[zstd8]}" "${RATE[plain8]}")x disk) | ${SIZE[none8]} | ${SIZE[zstd8]} |

Foxglove layout (foxglove.RawImage plus a travik.ImageInfo per image, protobuf, what \`travik record\` writes) against the travik layout of earlier versions (\`--layout travik\`), same data, same run:

| Frames | Stored, Foxglove (MB/s) | Stored, travik (MB/s) | zstd, Foxglove (MB/s) | zstd, travik (MB/s) | File per minute zstd, Foxglove / travik (MB) |
|---|---|---|---|---|---|
| demo test pattern, no noise | ${RATE[none0]} ($(ratio "${RATE[none0]}" "${RATE[none0t]}")x travik) | ${RATE[none0t]} | ${RATE[zstd0]} ($(ratio "${RATE[zstd0]}" "${RATE[zstd0t]}")x travik) | ${RATE[zstd0t]} | ${SIZE[zstd0]} / ${SIZE[zstd0t]} |
| with sensor noise ±8 | ${RATE[none8]} ($(ratio "${RATE[none8]}" "${RATE[none8t]}")x travik) | ${RATE[none8t]} | ${RATE[zstd8]} ($(ratio "${RATE[zstd8]}" "${RATE[zstd8t]}")x travik) | ${RATE[zstd8t]} | ${SIZE[zstd8]} / ${SIZE[zstd8t]} |

Replay pace over a ${REPLAY_SECONDS} s recording (4 channels 320x240 at 25 images/s, 5 log lines/s; $staged): lateness of each staging against its scheduled time (the schedule slips after a lag over 20 ms), p50 ${p50} µs, p99 ${p99} µs.

Throughput is raw image megabytes (10^6 bytes) per second through the recorder's MCAP writer (the first table in the Foxglove layout), file synced, over ${SECONDS_OF_DATA} s of data at 10 images/s per channel (the demo viewer's 100 ms interval: 640x480 gray and RGB, 320x240 gray and RGB, 15.4 MB/s raw); "disk" writes the same raw bytes with plain write(2) and fsync in the same run. zstd is level 1 with 4 MiB chunks. File size per minute is scaled from the ${SECONDS_OF_DATA} s run. Load average ${LOAD_START} at the start, ${LOAD_END} at the end.
MD
