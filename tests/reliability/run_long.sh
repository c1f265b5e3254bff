#!/usr/bin/env bash
# Runs the reliability suite in long mode (by hand; a few minutes), then the
# two fuzz targets for 10 minutes each, and writes every figure into
# tests/reliability/RESULTS.md.
#
#   tests/reliability/run_long.sh [options]
#
#   --build-dir DIR     build tree for the tests (default: build/default, the
#                       `default` preset; configured and built if needed)
#   --fuzz-dir DIR      build tree of the `fuzz` preset (default: build/fuzz;
#                       built if the fuzz sources exist)
#   --fuzz-seconds N    seconds per fuzz target (default 600)
#   --skip-fuzz         no fuzzing
#   --sanitizers        also build the asan and tsan presets and run the
#                       complete test suite (reliability short mode included)
#                       under each, recording the outcome
#   --san-root DIR      build trees for --sanitizers: DIR/asan and DIR/tsan
#                       (default: the presets' own build/asan and build/tsan)
#   --report-only       run nothing; write RESULTS.md again from the logs of
#                       the last run
#   --output FILE       where to write the table (default: RESULTS.md next to
#                       this script)
#
# The logs of a run (ctest output, fuzzer output and findings, exit codes)
# stay in BUILD_DIR/reliability-logs; the report is made from them.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
BUILD_DIR="$ROOT/build/default"
FUZZ_DIR="$ROOT/build/fuzz"
FUZZ_SECONDS=600
RUN_FUZZ=1
RUN_SANITIZERS=0
REPORT_ONLY=0
OUTPUT="$HERE/RESULTS.md"
SAN_ROOT=""
FUZZ_NAMES=(receive_path command)

while (($#)); do
    case "$1" in
        --build-dir) BUILD_DIR="$(realpath -m "$2")"; shift 2 ;;
        --fuzz-dir) FUZZ_DIR="$(realpath -m "$2")"; shift 2 ;;
        --fuzz-seconds) FUZZ_SECONDS="$2"; shift 2 ;;
        --skip-fuzz) RUN_FUZZ=0; shift ;;
        --sanitizers) RUN_SANITIZERS=1; shift ;;
        --san-root) SAN_ROOT="$(realpath -m "$2")"; shift 2 ;;
        --report-only) REPORT_ONLY=1; shift ;;
        --output) OUTPUT="$(realpath -m "$2")"; shift 2 ;;
        -h | --help) sed -n '2,26p' "${BASH_SOURCE[0]}"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done

log() { printf '[run_long] %s\n' "$*" >&2; }

LOG_DIR="$BUILD_DIR/reliability-logs"
cd "$ROOT"

# ---------------------------------------------------------------------------
# Long-mode reliability run

run_long_mode() {
    if [[ ! -f "$BUILD_DIR/CMakeCache.txt" ]]; then
        if [[ "$BUILD_DIR" == "$ROOT/build/default" ]]; then
            cmake --preset default
        else
            cmake -S "$ROOT" -B "$BUILD_DIR" -DTRAVIK_WERROR=ON
        fi
    fi
    log "building the reliability tests in $BUILD_DIR"
    local targets=(reliability_peer) src
    for src in "$HERE"/*_test.cpp; do
        targets+=("reliability_$(basename "$src" .cpp)")
    done
    cmake --build "$BUILD_DIR" -j2 --target "${targets[@]}"

    log "long mode: ctest -L reliability with TRAVIK_RELIABILITY_MODE=long"
    local started=$SECONDS rc=0
    TRAVIK_RELIABILITY_MODE=long ctest --test-dir "$BUILD_DIR" -L reliability -V --timeout 900 \
        >"$LOG_DIR/long_mode.log" 2>&1 || rc=$?
    echo "$((SECONDS - started)) $rc $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown) $(date +%s)" \
        >"$LOG_DIR/long_mode.meta"
    log "long mode done in $((SECONDS - started))s, ctest exit code $rc"
}

# ---------------------------------------------------------------------------
# Fuzzing budget

fuzz_target() { # name
    local name="$1" bin="$FUZZ_DIR/fuzz/$1_fuzz" work
    if [[ ! -x "$bin" ]]; then
        echo "missing $bin" >"$LOG_DIR/fuzz_$name.meta"
        return
    fi
    work="$(mktemp -d /tmp/travik-fuzz-XXXXXX)"
    mkdir -p "$work/corpus"
    cp -r "$ROOT/fuzz/corpus/$name/." "$work/corpus/" 2>/dev/null || true
    log "fuzzing $name for ${FUZZ_SECONDS}s"
    local rc=0
    (cd "$work" && "$bin" -max_total_time="$FUZZ_SECONDS" -malloc_limit_mb=512 -rss_limit_mb=1024 \
        -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" >"$LOG_DIR/fuzz_$name.log" 2>&1) || rc=$?
    echo "$FUZZ_SECONDS $rc" >"$LOG_DIR/fuzz_$name.meta"
    local found
    found="$(find "$work" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'oom-*' \
        -o -name 'timeout-*' \))"
    if [[ -n "$found" ]]; then
        mkdir -p "$LOG_DIR/fuzz-findings-$name"
        cp $found "$LOG_DIR/fuzz-findings-$name/"
    fi
    rm -rf "$work"
}

run_fuzzing() {
    if [[ ! -f "$ROOT/fuzz/CMakeLists.txt" ]]; then
        echo "no fuzz targets in this tree" >"$LOG_DIR/fuzz.note"
        return
    fi
    if [[ ! -f "$FUZZ_DIR/CMakeCache.txt" ]]; then
        if [[ "$FUZZ_DIR" == "$ROOT/build/fuzz" ]]; then
            cmake --preset fuzz
        else
            cmake --preset fuzz -B "$FUZZ_DIR"
        fi
    fi
    cmake --build "$FUZZ_DIR" -j2 --target "${FUZZ_NAMES[@]/%/_fuzz}" || true
    local name
    for name in "${FUZZ_NAMES[@]}"; do fuzz_target "$name"; done
}

# ---------------------------------------------------------------------------
# Sanitizer runs of the complete suite

sanitizer_run() { # preset
    local preset="$1" rc=0 dir="$ROOT/build/$1"
    [[ -n "$SAN_ROOT" ]] && dir="$SAN_ROOT/$preset"
    log "$preset: build and run the complete suite in $dir"
    # The environment of the test presets of the same name.
    local env=(ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
    [[ "$preset" == tsan ]] &&
        env=("TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/tsan.supp")
    (cmake --preset "$preset" -B "$dir" >/dev/null && cmake --build "$dir" -j2 &&
        env "${env[@]}" ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300 --no-tests=error) \
        >"$LOG_DIR/$preset.log" 2>&1 || rc=$?
    echo "$rc $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)" >"$LOG_DIR/$preset.meta"
}

if ((!REPORT_ONLY)); then
    rm -rf "$LOG_DIR"
    mkdir -p "$LOG_DIR"
    run_long_mode
    if ((RUN_FUZZ)); then run_fuzzing; else echo "fuzzing skipped (--skip-fuzz)" >"$LOG_DIR/fuzz.note"; fi
    if ((RUN_SANITIZERS)); then
        sanitizer_run asan
        sanitizer_run tsan
    fi
fi
[[ -f "$LOG_DIR/long_mode.log" ]] || { log "no long-mode log in $LOG_DIR"; exit 1; }

# ---------------------------------------------------------------------------
# RESULTS.md, from the logs

item_of() {
    case "$1" in
        stalled_viewer.* | log_flood.*) echo "1 Stalled viewer" ;;
        churn.* | fd_exhaustion.* | cloexec.*) echo "2 Churn" ;;
        killed_viewers.* | killed_device.*) echo "3 Killed peers" ;;
        garbage.*) echo "4 Garbage" ;;
        hostile_device.* | hostile_viewer.* | max_frame.*) echo "5 Hostile headers" ;;
        dead_peers.*) echo "6 Dead peers" ;;
        fuzz.*) echo "7 Fuzzing" ;;
        *) echo "9 Other" ;;
    esac
}

figures() { # "name<TAB>value" lines
    # ctest -V prefixes each output line with the test number.
    sed -n 's/^[0-9]*: FIGURE \([^:]*\): \(.*\)$/\1\t\2/p' "$LOG_DIR/long_mode.log"
    local name meta seconds rc flog findings
    for name in "${FUZZ_NAMES[@]}"; do
        meta="$LOG_DIR/fuzz_$name.meta"
        flog="$LOG_DIR/fuzz_$name.log"
        [[ -f "$meta" && -f "$flog" ]] || continue
        read -r seconds rc <"$meta"
        findings=0
        [[ -d "$LOG_DIR/fuzz-findings-$name" ]] && findings="$(find "$LOG_DIR/fuzz-findings-$name" -type f | wc -l)"
        printf 'fuzz.%s.seconds\t%s\n' "$name" "$seconds"
        printf 'fuzz.%s.executions\t%s\n' "$name" "$(sed -n 's/^stat::number_of_executed_units: *//p' "$flog" | tail -1)"
        printf 'fuzz.%s.exec_per_s\t%s\n' "$name" "$(sed -n 's/^stat::average_exec_per_sec: *//p' "$flog" | tail -1)"
        printf 'fuzz.%s.peak_rss_mb\t%s\n' "$name" "$(sed -n 's/^stat::peak_rss_mb: *//p' "$flog" | tail -1)"
        printf 'fuzz.%s.findings\t%s\n' "$name" "$findings"
        printf 'fuzz.%s.exit_code\t%s\n' "$name" "$rc"
    done
}

long_seconds="?"
long_rc="?"
commit="unknown"
ended=""
[[ -f "$LOG_DIR/long_mode.meta" ]] && read -r long_seconds long_rc commit ended <"$LOG_DIR/long_mode.meta"
long_summary="$(grep -E 'tests passed, [0-9]+ tests? failed' "$LOG_DIR/long_mode.log" | tail -1 || true)"
cpu="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
if [[ -n "$ended" ]]; then
    when="$(date -u -d "@$ended" '+%Y-%m-%d %H:%M UTC')"
else
    when="$(date -u -r "$LOG_DIR/long_mode.log" '+%Y-%m-%d %H:%M UTC')"
fi
{
    cat <<EOF
# Reliability figures

Long-mode run of $when, commit $commit, on $(nproc) cores (${cpu:-unknown CPU}), $(uname -sr).
Written by \`tests/reliability/run_long.sh\`; reproduce with

    tests/reliability/run_long.sh --sanitizers          # everything below (about an hour)
    TRAVIK_RELIABILITY_MODE=long ctest --test-dir build/default -L reliability -V   # the figures only

Long mode: ${long_summary:-no summary}, ${long_seconds} s (ctest exit code ${long_rc}).
The short mode (the default, run by \`ctest\` and \`.ci/run\`) runs the same tests with smaller counts and
durations.

| Item | Figure | Value |
|---|---|---|
EOF
    figures | while IFS=$'\t' read -r name value; do
        item="$(item_of "$name")"
        printf '%s\t| %s | `%s` | %s |\n' "$item" "$item" "$name" "$value"
    done | sort -s -t$'\t' -k1,1n | cut -f2-
    cat <<'EOF'

How to read them:

- The device and the healthy viewer run in the test process; RSS figures are that process's resident size
  (growth over the test, or its peak), descriptor and thread counts are that process's too (threads: the
  library's named threads).
- A healthy viewer runs in lockstep with its producer: image N+1 is staged only after image N arrived, so the
  device's latest-wins coalescing cannot drop any of them and every missing image is a real loss
  (`healthy_misses`, deadline 5 s per image). `healthy_max_latency_ms` is the longest stage-to-delivery time.
- 1: a raw viewer with a 1 KiB receive buffer never reads. Images are no longer queued for it past the soft
  bound (16 MiB), and it is cut by the no-progress deadline (10 s after its output stopped moving). Log frames
  are never skipped: `log_flood` shows the hard bound (48 MiB) cutting such a viewer first.
- 2: the churn and exhaustion tests lower the descriptor limit to 64 with setrlimit. Half the churn cycles
  close in the middle of a frame (half of those with a reset). LeakSanitizer runs with the asan preset
  (`detect_leaks=1`); its outcome is under item 8.
- 3: the killed viewers are separate processes that read a random byte count (mostly inside a frame) and get
  SIGKILL; the host's SIGPIPE disposition and signal mask are checked unchanged. The killed device is a
  separate process streaming 2 MiB images to a deliberately slow viewer, so that it dies in the middle of a
  frame (`partial_frame_bytes_at_death` > 0); exactly the whole frames are delivered.
- 4: `command_state_changes_by_garbage` counts the device's state lines not caused by the healthy viewer's
  own steering commands. One connection in four starts with a plausible header so that the reassembly and
  decoders see garbage too.
- 5: the device accepts frames of at most 64 KiB from a viewer (commands are 48 bytes); a viewer accepts up
  to the frame limit (100,000,000 bytes). `drip` sends a frame one byte per segment; `heap_bytes_per_byte_held`
  is the allocator's growth per byte. `max_frame` is four uncompressed 3840x2160 RGB images in one raw frame,
  written by a rogue device socket and decoded by a viewer.
- 6: the wire has no heartbeat. A stopped viewer process with data in flight is cut by the no-progress
  deadline. An idle connection to a vanished host (a private network namespace whose loopback link goes down)
  is dropped by TCP keepalive after 10 s idle + 3 probes 5 s apart. A stopped process on the same host is
  NOT found by keepalive (its kernel still answers the probes): `stopped_idle_viewer_still_connected_after_s`
  shows it still connected past the keepalive budget; only data in flight exposes it.
- 7: the fuzz targets of the `fuzz` preset (clang, ASan + UBSan), run with `-malloc_limit_mb=512
  -rss_limit_mb=1024` on a copy of the committed seed corpus.
EOF
    echo
    echo "Thread safety (item 8), the complete test suite with the reliability short mode:"
    echo
    local_any=0
    for preset in asan tsan; do
        [[ -f "$LOG_DIR/$preset.meta" ]] || continue
        local_any=1
        read -r rc san_commit <"$LOG_DIR/$preset.meta"
        summary="$(grep -E 'tests passed|No tests were found' "$LOG_DIR/$preset.log" | tail -1 || true)"
        case "$preset" in
            asan) what="ASan + UBSan + LSan (\`ctest --preset asan\`)" ;;
            tsan) what="ThreadSanitizer with the empty suppression file tests/tsan.supp (\`ctest --preset tsan\`)" ;;
        esac
        echo "- $what, commit ${san_commit:-unknown}: ${summary:-build failed}, exit code $rc."
        grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception|Not Run)\)' \
            "$LOG_DIR/$preset.log" | sed 's/^ */  - failed: /' || true
    done
    ((local_any)) || echo "- not run this time (\`run_long.sh --sanitizers\` runs them)."
    for note in "$LOG_DIR"/fuzz.note "$LOG_DIR"/fuzz_*.meta; do
        [[ -f "$note" ]] || continue
        if grep -q '^missing\|skipped\|no fuzz' "$note"; then echo "- fuzzing: $(cat "$note")"; fi
    done
    echo
    echo "Long-mode test outcomes:"
    echo
    grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: ' "$LOG_DIR/long_mode.log" |
        sed 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: /    /' || echo "    (none recorded)"
} >"$OUTPUT"
log "wrote $OUTPUT"
[[ "$long_rc" == 0 ]]
