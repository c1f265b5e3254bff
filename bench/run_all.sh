#!/usr/bin/env bash
# Builds travik-bench against both image compressors (libdeflate, the
# default build's when installed, and zlib, the fallback and `zlib` preset),
# runs them one after the other, and writes bench/RESULTS.md
# whole: the merged travik-bench tables, then the stdout of every executable
# bench/sections/*.sh in name order (each called with the zlib build
# directory as $1; see bench/sections/README.md).
#
#   bench/run_all.sh [--quick] [--out FILE]
#
# The zlib build measures every row, ZeroMQ and raw TCP included; the
# libdeflate build measures the rows its compressor changes (compressor
# limit, image throughput, image latency), which gives the codec comparison
# (default build against the zlib build, same run). The camera rows (four
# 30 fps 720p gray streams, levels 6/3/1) come from
# bench/sections/40-compression.sh, in both builds. Build directories default to
# build/bench and build/bench-libdeflate; BENCH_BUILD_ZLIB and
# BENCH_BUILD_LIBDEFLATE override them. A full run takes about 12 minutes on
# 2 cores plus the builds; --quick (about 2 minutes) is a smoke run whose
# figures are not worth quoting. Every step has a time limit, so a run always
# ends. Run it on an otherwise idle machine: the tables record the load
# average at the start and end of each travik-bench run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

QUICK=()
OUT="bench/RESULTS.md"
while (($# > 0)); do
    case "$1" in
        --quick) QUICK=(--quick) ;;
        --out)
            [[ $# -ge 2 ]] || {
                echo "run_all: --out needs a file" >&2
                exit 2
            }
            OUT="$2"
            shift
            ;;
        -h | --help)
            sed -n '2,18p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
            exit 0
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
# Time limits per step, in seconds.
BUILD_LIMIT=900
BENCH_LIMIT=$((${#QUICK[@]} > 0 ? 300 : 1200))
SECTION_LIMIT=240

TMP="$(mktemp -d)"
LOG="$TMP/progress.log"
: >"$LOG"
START=$SECONDS
STEP=""
STEP_PID=""
cleanup() {
    if [[ -n "$STEP_PID" ]] && kill -0 "$STEP_PID" 2>/dev/null; then
        kill "$STEP_PID" 2>/dev/null || true
        wait "$STEP_PID" 2>/dev/null || true
    fi
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'echo >&2; echo "[run_all] interrupted" >&2; exit 130' INT TERM

# One status line on stderr, once a second: elapsed time, the step, and the
# step's latest progress line. On a terminal it is rewritten in place;
# otherwise a line is printed every ten seconds.
LAST_PRINT=-1
status() {
    local elapsed=$((SECONDS - START))
    local last
    last="$(tail -n 1 "$LOG" 2>/dev/null | tr -s ' ' | cut -c1-70)"
    local line
    line="$(printf '[run_all] %d:%02d %s | %s' $((elapsed / 60)) $((elapsed % 60)) "$STEP" "$last")"
    if [[ -t 2 ]]; then
        printf '\r\033[K%s' "$line" >&2
    elif ((elapsed / 10 != LAST_PRINT)); then
        LAST_PRINT=$((elapsed / 10))
        echo "$line" >&2
    fi
}

# run_step NAME LIMIT COMMAND...: runs COMMAND with its stderr in the
# progress log, stdout discarded, killed after LIMIT seconds.
run_step() {
    local name="$1" limit="$2"
    shift 2
    STEP="$name"
    echo "== $name" >>"$LOG"
    timeout "$limit" "$@" >/dev/null 2>>"$LOG" &
    STEP_PID=$!
    local shown=-1
    while kill -0 "$STEP_PID" 2>/dev/null; do
        if ((SECONDS != shown)); then
            shown=$SECONDS
            status
        fi
        sleep 0.2
    done
    local rc=0
    wait "$STEP_PID" || rc=$?
    STEP_PID=""
    [[ -t 2 ]] && printf '\r\033[K' >&2
    if ((rc != 0)); then
        echo "[run_all] $name failed (exit $rc$( ((rc == 124)) && echo ", over its ${limit} s limit")); last lines:" >&2
        tail -n 20 "$LOG" >&2
        return "$rc"
    fi
    echo "[run_all] $name done at $(((SECONDS - START) / 60)):$(printf '%02d' $(((SECONDS - START) % 60)))" >&2
}

# Every benchmark program (each target whose name has "bench" in it), so that
# sections spend their time limit measuring, not compiling.
BUILD='{ cmake -S . -B "$0" -DCMAKE_BUILD_TYPE=Release -DTRAVIK_BUILD_BENCH=ON -DTRAVIK_DEFLATE="$1" &&
    targets="$(cmake --build "$0" --target help | sed -n "s/^\.\.\. \([A-Za-z0-9_.+-]*\).*/\1/p; s/^\([A-Za-z0-9_.+-]*\): phony\$/\1/p" | grep bench | sort -u)" &&
    cmake --build "$0" -j2 --target travik-bench travik_micro_bench $targets; } 1>&2'
run_step "build (zlib)" "$BUILD_LIMIT" bash -c "$BUILD" "$ZLIB_DIR" zlib
run_step "build (libdeflate)" "$BUILD_LIMIT" bash -c "$BUILD" "$LIBDEFLATE_DIR" libdeflate

run_step "travik-bench, zlib build" "$BENCH_LIMIT" \
    "$ZLIB_DIR/bench/travik-bench" "${QUICK[@]}" --tsv "$TMP/zlib.tsv" --out "$TMP/zlib.md"
run_step "travik-bench, libdeflate build" "$BENCH_LIMIT" \
    "$LIBDEFLATE_DIR/bench/travik-bench" "${QUICK[@]}" --sections limits,images,imglat \
    --tsv "$TMP/libdeflate.tsv" --out "$TMP/libdeflate.md"
"$ZLIB_DIR/bench/travik-bench" --merge "$TMP/zlib.tsv" "$TMP/libdeflate.tsv" --out "$TMP/results.md" \
    --command "bench/run_all.sh${QUICK:+ --quick}" >/dev/null

# Sections added by other parts of the project: each prints one markdown
# section on stdout. A section that fails or runs over its limit is reported
# in the results instead of ending the run.
ABS_ZLIB_DIR="$(cd "$ZLIB_DIR" && pwd)"
[[ ${#QUICK[@]} -gt 0 ]] && export TRAVIK_BENCH_QUICK=1
for script in bench/sections/*.sh; do
    [[ -f "$script" && -x "$script" ]] || continue
    name="$(basename "$script" .sh)"
    part="$TMP/section-$name.md"
    STEP="section $name"
    echo "== section $name" >>"$LOG"
    timeout "$SECTION_LIMIT" "$script" "$ABS_ZLIB_DIR" >"$part" 2>>"$LOG" &
    STEP_PID=$!
    shown=-1
    while kill -0 "$STEP_PID" 2>/dev/null; do
        if ((SECONDS != shown)); then
            shown=$SECONDS
            status
        fi
        sleep 0.2
    done
    rc=0
    wait "$STEP_PID" || rc=$?
    STEP_PID=""
    [[ -t 2 ]] && printf '\r\033[K' >&2
    {
        echo
        if ((rc == 0)); then
            cat "$part"
        else
            echo "### $name"
            echo
            echo "Not measured: bench/sections/$name.sh exited with status $rc$( ((rc == 124)) && echo " (over its ${SECTION_LIMIT} s limit)")."
        fi
    } >>"$TMP/results.md"
    echo "[run_all] section $name: exit $rc" >&2
done

mkdir -p "$(dirname "$OUT")"
cp "$TMP/results.md" "$OUT"
elapsed=$((SECONDS - START))
echo "[run_all] $OUT written in $((elapsed / 60)) min $((elapsed % 60)) s" >&2
