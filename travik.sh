#!/usr/bin/env bash
# Developer entry point: install dependencies, build, test, run the demo and
# keep the sources formatted. Run `./travik.sh help` for the commands.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$ROOT"
export DEBIAN_FRONTEND=noninteractive

# Debian packages the library and the travik tool need: all the demo installs.
BUILD_PACKAGES=(
    g++ cmake pkg-config libevent-dev zlib1g-dev libdeflate-dev libcli11-dev libzstd-dev
    libboost-dev libturbojpeg0-dev libspng-dev nlohmann-json3-dev
)
# What the tests, the Python package, benchmarks, fuzzers and the format
# check add to them.
TEST_PACKAGES=(
    libgtest-dev googletest libbenchmark-dev libzmq3-dev clang libclang-rt-14-dev clang-format python3
    pybind11-dev python3-dev python3-numpy python3-pytest chromium nodejs
)
PRESETS=(default asan tsan bench fuzz libdeflate demo)
SOURCE_DIRS=(include src tools tests bench fuzz examples python)

usage() {
    cat <<EOF
usage: ./travik.sh <command> [args]

  deps              install the Debian packages and the node tests' npm packages
  build [preset]    configure and build a preset (default: default)
  test [preset]     build, then run the preset's tests with ctest
  demo [args]       build only the tool (preset demo) and run its demo
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
    apt_deps "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    npm_deps
}

# Installs the packages given that are missing.
apt_deps() {
    local missing=() pkg status
    for pkg in "$@"; do
        status="$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)"
        [[ "$status" == "installed" ]] || missing+=("$pkg")
    done
    # Some nodejs builds bundle npm; Debian's own ships it separately.
    if [[ " $* " == *" nodejs "* ]]; then
        command -v npm >/dev/null || missing+=(npm)
    fi
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
    for dir in tests/web tests/recording; do
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

# The demo needs only the library and the tool: no test tools, no browser,
# no Python, and a build of the one program.
cmd_demo() {
    apt_deps "${BUILD_PACKAGES[@]}"
    cmake --preset demo
    cmake --build --preset demo -j2 --target travik_tool
    exec build/demo/tools/travik demo "$@"
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
