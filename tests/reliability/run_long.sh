#!/usr/bin/env bash
# Runs the reliability suite in long mode (by hand; it takes ~10 minutes),
# then the two fuzz targets for 10 minutes each, and writes every figure
# into tests/reliability/RESULTS.md.
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
#   --output FILE       where to write the table (default: RESULTS.md next to
#                       this script)
#
# Logs (ctest output of each run, fuzzer logs and any fuzzer findings) go to
# BUILD_DIR/reliability-logs.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
BUILD_DIR="$ROOT/build/default"
FUZZ_DIR="$ROOT/build/fuzz"
FUZZ_SECONDS=600
RUN_FUZZ=1
RUN_SANITIZERS=0
OUTPUT="$HERE/RESULTS.md"
SAN_ROOT=""

while (($#)); do
    case "$1" in
        --build-dir) BUILD_DIR="$(realpath -m "$2")"; shift 2 ;;
        --fuzz-dir) FUZZ_DIR="$(realpath -m "$2")"; shift 2 ;;
        --fuzz-seconds) FUZZ_SECONDS="$2"; shift 2 ;;
        --skip-fuzz) RUN_FUZZ=0; shift ;;
        --sanitizers) RUN_SANITIZERS=1; shift ;;
        --san-root) SAN_ROOT="$(realpath -m "$2")"; shift 2 ;;
        --output) OUTPUT="$(realpath -m "$2")"; shift 2 ;;
        -h | --help) sed -n '2,20p' "${BASH_SOURCE[0]}"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done

log() { printf '[run_long] %s\n' "$*" >&2; }

WORK="$(mktemp -d /tmp/travik-run-long-XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
FIGURES="$WORK/figures.txt"   # "name<TAB>value" lines
OUTCOMES="$WORK/outcomes.txt" # "item<TAB>text" lines
: >"$FIGURES"
: >"$OUTCOMES"

# ---------------------------------------------------------------------------
# Long-mode reliability run

cd "$ROOT"
if [[ ! -f "$BUILD_DIR/CMakeCache.txt" ]]; then
    if [[ "$BUILD_DIR" == "$ROOT/build/default" ]]; then
        cmake --preset default
    else
        cmake -S "$ROOT" -B "$BUILD_DIR" -DTRAVIK_WERROR=ON
    fi
fi
log "building the reliability tests in $BUILD_DIR"
targets=(reliability_peer)
for src in "$HERE"/*_test.cpp; do
    targets+=("reliability_$(basename "$src" .cpp)")
done
cmake --build "$BUILD_DIR" -j2 --target "${targets[@]}"
LOG_DIR="$BUILD_DIR/reliability-logs"
mkdir -p "$LOG_DIR"

log "long mode: ctest -L reliability with TRAVIK_RELIABILITY_MODE=long"
started=$SECONDS
set +e
TRAVIK_RELIABILITY_MODE=long ctest --test-dir "$BUILD_DIR" -L reliability -V --timeout 900 >"$WORK/long.log" 2>&1
long_rc=$?
set -e
long_seconds=$((SECONDS - started))
# ctest -V prefixes each output line with the test number.
sed -n 's/^[0-9]*: FIGURE \([^:]*\): \(.*\)$/\1\t\2/p' "$WORK/long.log" >>"$FIGURES"
grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: ' "$WORK/long.log" | sed 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: //' \
    >"$WORK/long_tests.txt" || true
long_summary="$(grep -E 'tests passed, [0-9]+ tests? failed' "$WORK/long.log" | tail -1 || true)"
cp "$WORK/long.log" "$LOG_DIR/long_mode.log"
log "long mode done in ${long_seconds}s: ${long_summary:-no summary (see the log)}"

# ---------------------------------------------------------------------------
# Fuzzing budget

fuzz_target() { # name
    local name="$1" bin="$FUZZ_DIR/fuzz/$1_fuzz" work="$WORK/fuzz-$1"
    if [[ ! -x "$bin" ]]; then
        printf '7\t%s: target not built (%s missing)\n' "$name" "$bin" >>"$OUTCOMES"
        return
    fi
    mkdir -p "$work/corpus"
    cp -r "$ROOT/fuzz/corpus/$name/." "$work/corpus/" 2>/dev/null || true
    log "fuzzing $name for ${FUZZ_SECONDS}s"
    local rc=0
    (cd "$work" && "$bin" -max_total_time="$FUZZ_SECONDS" -malloc_limit_mb=512 -rss_limit_mb=1024 \
        -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" >"$work/log.txt" 2>&1) || rc=$?
    local execs rate findings
    execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log.txt" | tail -1)"
    rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log.txt" | tail -1)"
    findings="$(find "$work" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'oom-*' \
        -o -name 'timeout-*' \) | wc -l)"
    printf 'fuzz.%s.seconds\t%s\n' "$name" "$FUZZ_SECONDS" >>"$FIGURES"
    printf 'fuzz.%s.executions\t%s\n' "$name" "${execs:-?}" >>"$FIGURES"
    printf 'fuzz.%s.exec_per_s\t%s\n' "$name" "${rate:-?}" >>"$FIGURES"
    printf 'fuzz.%s.findings\t%s\n' "$name" "$findings" >>"$FIGURES"
    printf 'fuzz.%s.exit_code\t%s\n' "$name" "$rc" >>"$FIGURES"
    if ((findings > 0)); then
        mkdir -p "$LOG_DIR/fuzz-findings"
        cp "$work"/crash-* "$work"/leak-* "$work"/oom-* "$work"/timeout-* "$LOG_DIR/fuzz-findings/" 2>/dev/null || true
    fi
    cp "$work/log.txt" "$LOG_DIR/fuzz_$name.log"
}

if ((RUN_FUZZ)); then
    if [[ -f "$ROOT/fuzz/CMakeLists.txt" ]]; then
        if [[ ! -f "$FUZZ_DIR/CMakeCache.txt" && "$FUZZ_DIR" == "$ROOT/build/fuzz" ]]; then
            cmake --preset fuzz
        fi
        if [[ -f "$FUZZ_DIR/CMakeCache.txt" ]]; then
            cmake --build "$FUZZ_DIR" -j2 --target receive_path_fuzz command_fuzz || true
        fi
        fuzz_target receive_path
        fuzz_target command
    else
        printf '7\tno fuzz targets in this tree (fuzz/CMakeLists.txt missing)\n' >>"$OUTCOMES"
    fi
else
    printf '7\tfuzzing skipped (--skip-fuzz)\n' >>"$OUTCOMES"
fi

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
    (cd "$ROOT" && cmake --preset "$preset" -B "$dir" >/dev/null && cmake --build "$dir" -j2 &&
        env "${env[@]}" ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300 --no-tests=error) \
        >"$WORK/$preset.log" 2>&1 || rc=$?
    local summary
    summary="$(grep -E 'tests passed|No tests were found' "$WORK/$preset.log" | tail -1 || true)"
    printf '8\t%s preset (`cmake --preset %s && ctest --preset %s`): %s, exit code %s\n' "$preset" "$preset" "$preset" \
        "${summary:-build failed, see the log}" "$rc" >>"$OUTCOMES"
    grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)\)' "$WORK/$preset.log" |
        sed "s/^/8\t$preset failed: /" >>"$OUTCOMES" || true
    cp "$WORK/$preset.log" "$LOG_DIR/$preset.log"
}
if ((RUN_SANITIZERS)); then
    sanitizer_run asan
    sanitizer_run tsan
fi

# ---------------------------------------------------------------------------
# RESULTS.md

item_of() {
    case "$1" in
        stalled_viewer.*) echo "1 Stalled viewer" ;;
        churn.* | fd_exhaustion.* | cloexec.*) echo "2 Churn" ;;
        killed_viewers.* | killed_device.*) echo "3 Killed peers" ;;
        garbage.*) echo "4 Garbage" ;;
        hostile_device.* | hostile_viewer.* | max_frame.*) echo "5 Hostile headers" ;;
        dead_peers.*) echo "6 Dead peers" ;;
        fuzz.*) echo "7 Fuzzing" ;;
        *) echo "-" ;;
    esac
}

commit="$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)"
cpu="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
{
    echo "# Reliability figures"
    echo
    echo "Generated by \`tests/reliability/run_long.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit,"
    echo "on $(nproc) cores (${cpu:-unknown CPU}), $(uname -sr)."
    echo "Reproduce: \`tests/reliability/run_long.sh\` (long mode: \`TRAVIK_RELIABILITY_MODE=long ctest -L reliability -V\`)."
    echo
    echo "Long mode: ${long_summary:-no summary}, ${long_seconds}s (ctest exit code $long_rc)."
    echo
    echo "| Item | Figure | Value |"
    echo "|---|---|---|"
    while IFS=$'\t' read -r name value; do
        printf '| %s | `%s` | %s |\n' "$(item_of "$name")" "$name" "$value"
    done <"$FIGURES"
    echo
    echo "## Test outcomes (long mode)"
    echo
    if [[ -s "$WORK/long_tests.txt" ]]; then
        sed 's/^/    /' "$WORK/long_tests.txt"
    else
        echo "    (none recorded)"
    fi
    if [[ -s "$OUTCOMES" ]]; then
        echo
        echo "## Fuzzing and sanitizer notes"
        echo
        while IFS=$'\t' read -r item text; do
            printf -- '- item %s: %s\n' "$item" "$text"
        done <"$OUTCOMES"
    fi
} >"$OUTPUT"
log "wrote $OUTPUT"
exit "$long_rc"
