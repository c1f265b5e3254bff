#!/usr/bin/env bash
# Developer entry point: install dependencies, build, test, run the demo and
# keep the sources formatted. Run `./travik.sh help` for the commands.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$ROOT"
export DEBIAN_FRONTEND=noninteractive

# Debian packages the build, tests, tools, benchmarks and fuzzers use.
PACKAGES=(
    g++ cmake pkg-config libevent-dev zlib1g-dev libgtest-dev googletest libbenchmark-dev libcli11-dev
    libdeflate-dev libzmq3-dev clang libclang-rt-14-dev clang-format python3
    pybind11-dev python3-dev python3-numpy python3-pytest libzstd-dev
    libboost-dev libturbojpeg0-dev libspng-dev nlohmann-json3-dev chromium nodejs
)
PRESETS=(default asan tsan bench fuzz zlib)
SOURCE_DIRS=(include src tools tests bench fuzz examples python)

usage() {
    cat <<EOF
usage: ./travik.sh <command> [args]

  deps              install the Debian packages and the node tests' npm packages
  build [preset]    configure and build a preset (default: default)
  test [preset]     build, then run the preset's tests with ctest
  demo [args]       build the default preset and run the demo
  format            reformat all C++ sources in place
  check-format      fail if any C++ source is not formatted
  help              show this text

presets: ${PRESETS[*]}
EOF
}

log() { printf '[travik] %s\n' "$*" >&2; }
die() {
    log "error: $*"
    exit 1
}

cmd_deps() {
    apt_deps
    npm_deps
}

apt_deps() {
    local missing=() pkg status
    for pkg in "${PACKAGES[@]}"; do
        status="$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)"
        [[ "$status" == "installed" ]] || missing+=("$pkg")
    done
    # Some nodejs builds bundle npm; Debian's own ships it separately.
    command -v npm >/dev/null || missing+=(npm)
    if ((${#missing[@]} == 0)); then
        return 0
    fi
    log "missing packages: ${missing[*]}"
    if [[ "$(id -u)" -eq 0 ]]; then
        apt-get update
        apt-get install -y "${missing[@]}"
    else
        log "run as root, or install them with:"
        printf 'sudo apt-get install -y %s\n' "${missing[*]}"
        exit 1
    fi
}

# The npm packages of the tests that run under node (the browser test and
# the independent MCAP reader), exactly as locked; installed again only when a
# lockfile changed. Never a browser of their own: the browser test drives the
# system's chromium.
npm_deps() {
    local dir
    for dir in tests/web tests/mcap; do
        [[ -f "$dir/package-lock.json" ]] || continue
        if [[ -f "$dir/node_modules/.package-lock.json" && "$dir/node_modules/.package-lock.json" -nt "$dir/package-lock.json" ]]; then
            continue
        fi
        log "npm ci in $dir"
        (cd "$dir" && PUPPETEER_SKIP_DOWNLOAD=1 PUPPETEER_SKIP_CHROMIUM_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
    done
}

check_preset() {
    local p
    for p in "${PRESETS[@]}"; do
        [[ "$p" == "$1" ]] && return 0
    done
    die "unknown preset '$1' (known: ${PRESETS[*]})"
}

cmd_build() {
    local preset="${1:-default}"
    check_preset "$preset"
    cmd_deps
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j2
}

cmd_test() {
    local preset="${1:-default}"
    cmd_build "$preset"
    ctest --preset "$preset"
}

cmd_demo() {
    cmd_build default
    local tool="build/default/tools/travik"
    local device="build/default/examples/device_host"
    local viewer="build/default/examples/viewer_host"
    if [[ -x "$tool" ]]; then
        exec "$tool" demo "$@"
    fi
    if [[ -x "$device" && -x "$viewer" ]]; then
        log "no $tool yet; running the example pair instead"
        local port="${TRAVIK_DEMO_PORT:-$((20000 + RANDOM % 20000))}"
        "$device" "$port" &
        local device_pid=$!
        # The example viewer connects with its own retries; stop the device
        # once the viewer is done, whatever the outcome.
        local rc=0
        "$viewer" 127.0.0.1 "$port" "$@" || rc=$?
        kill "$device_pid" 2>/dev/null || true
        wait "$device_pid" 2>/dev/null || true
        return "$rc"
    fi
    die "nothing to demo yet: build/default has neither tools/travik nor examples/device_host + viewer_host"
}

# All C++ sources under the source directories, NUL-separated.
list_sources() {
    local dirs=() d
    for d in "${SOURCE_DIRS[@]}"; do
        [[ -d "$d" ]] && dirs+=("$d")
    done
    ((${#dirs[@]} > 0)) || return 0
    find "${dirs[@]}" -name node_modules -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z
}

run_clang_format() {
    command -v clang-format >/dev/null || die "clang-format not found; run ./travik.sh deps"
    local files=()
    mapfile -d '' files < <(list_sources)
    if ((${#files[@]} == 0)); then
        log "no sources to format"
        return 0
    fi
    clang-format "$@" "${files[@]}"
}

cmd_format() { run_clang_format -i; }

cmd_check_format() {
    run_clang_format --dry-run --Werror
    log "formatting ok"
}

main() {
    local cmd="${1:-help}"
    (($# > 0)) && shift
    case "$cmd" in
        deps) cmd_deps "$@" ;;
        build) cmd_build "$@" ;;
        test) cmd_test "$@" ;;
        demo) cmd_demo "$@" ;;
        format) cmd_format "$@" ;;
        check-format) cmd_check_format "$@" ;;
        help | -h | --help) usage ;;
        *)
            usage >&2
            exit 2
            ;;
    esac
}

main "$@"
