#!/usr/bin/env bash
# Developer entry point: install dependencies, build, test, run the demo and
# keep the sources formatted. Run `./travik.sh help` for the commands.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$ROOT"
export DEBIAN_FRONTEND=noninteractive

# Debian packages the library and the travik tool need: all the demo installs.
BUILD_PACKAGES=(
    g++ cmake pkg-config libevent-dev libssl-dev zlib1g-dev libdeflate-dev libcli11-dev libzstd-dev
    libboost-dev libturbojpeg0-dev libspng-dev nlohmann-json3-dev protobuf-compiler libnats-dev
    libopenh264-dev libyuv-dev
)
# What the tests, the Python package, benchmarks, fuzzers and the format
# check add to them (opencv-doc: camera footage for the video benchmark).
TEST_PACKAGES=(
    libgtest-dev googletest libbenchmark-dev libzmq3-dev clang libclang-rt-14-dev clang-format python3 ccache
    pybind11-dev python3-dev python3-numpy python3-pytest chromium nodejs nats-server openssl
    opencv-doc
)
PRESETS=(default asan tsan bench fuzz zlib demo windows)
# The 64-bit Windows cross toolchain and the loader its tests run under.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 dpkg-dev googletest llvm)
# Debian source packages cross-built for Windows (`./travik.sh deps windows`),
# in build order, each into a cached prefix of its own.
WINDOWS_SOURCES=(openssl libevent libjpeg-turbo libspng libzstd openh264 libyuv)
# What a library builds against: its key includes theirs.
declare -A WINDOWS_BUILDS_AGAINST=([libevent]=openssl)
WINDOWS_DEPS="$ROOT/build/windows-deps"
# Cross-built prefixes, one per key, shared by every clone of this user.
WINDOWS_CACHE="${TRAVIK_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/travik/windows}"
MINGW=x86_64-w64-mingw32
SOURCE_DIRS=(include src tools tests bench fuzz examples python)

# A compiler cache when one is installed (`deps` installs it): a fresh clone
# or a rebuilt preset reuses what any earlier build on this machine compiled.
# Paths are taken relative to the checkout, so clones share the cache.
# TRAVIK_CCACHE=0 turns it off.
use_compiler_cache() {
    [[ "${TRAVIK_CCACHE:-1}" != 0 ]] && command -v ccache >/dev/null || return 0
    export CMAKE_C_COMPILER_LAUNCHER="${CMAKE_C_COMPILER_LAUNCHER:-ccache}"
    export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$ROOT}"
    # Debug builds would otherwise hash the build directory's path too, and a
    # clone elsewhere would miss every entry (its debug info then names the
    # first clone's directory, which only a debugger notices).
    export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
    # Seven presets (sanitizers, fuzzers, the cross build) outgrow the 5 GB default.
    export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-20G}"
}
use_compiler_cache

usage() {
    cat <<EOF
usage: ./travik.sh <command> [args]

  deps              install the Debian packages and the node tests' npm packages
  deps windows      install the mingw-w64 toolchain and wine, and cross-build
                    the Windows libraries from Debian's source packages
  build [preset]    configure and build a preset (default: default)
  test [preset]     build, then run the preset's tests with ctest
  demo [args]       build only the tool (preset demo) and run its demo
  package windows   build the windows preset and write
                    build/windows/travik-VERSION-win64.zip
  fuzz [MINUTES] [TARGET...]
                    build the fuzz preset and run each target (default all) in
                    turn, MINUTES each (default 3); corpora grow under build/fuzz/corpus
  soak [MINUTES]    the device, NATS bridge and web server under churn for
                    MINUTES (default 10); memory, descriptors and threads
                    sampled into build/soak/ (soak.md, soak.csv, soak.svg);
                    fails on a starved viewer, growth or a leak
  format            reformat all C++ sources in place
  check-format      fail if any C++ source is not formatted
  help              show this text

presets: ${PRESETS[*]}
(windows cross-builds with mingw-w64 and runs its tests under wine)
EOF
}

log() { printf '[travik] %s\n' "$*" >&2; }
die() {
    log "error: $*"
    exit 1
}

cmd_deps() {
    if [[ "${1:-}" == "windows" ]]; then
        windows_deps
        return
    fi
    apt_deps "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    npm_deps
}

# apt with a private configuration: a deb-src entry for the archive and
# suite the machine already installs from, with its own lists and cache
# under build/, so that /etc/apt and the system's lists stay untouched.
private_apt() {
    local dir="$WINDOWS_DEPS/apt" tool=apt-get
    if [[ "$1" == "showsrc" ]]; then
        tool=apt-cache
    fi
    "$tool" -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts="$dir/sources.list.d" \
        -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir/cache" -o Debug::NoLocking=1 "$@"
}

private_apt_setup() {
    local dir="$WINDOWS_DEPS/apt" uri="" suite="" key="" line
    mkdir -p "$dir/sources.list.d" "$dir/lists/partial" "$dir/cache/archives/partial"
    # The first Debian archive of the system's own sources (deb822 or one-line).
    if compgen -G '/etc/apt/sources.list.d/*.sources' >/dev/null; then
        while read -r line; do
            case "$line" in
                URIs:*) [[ -z "$uri" ]] && uri="${line#URIs: }" ;;
                Suites:*) [[ -z "$suite" ]] && suite="$(awk '{print $2}' <<<"$line")" ;;
                Signed-By:*) [[ -z "$key" ]] && key="${line#Signed-By: }" ;;
            esac
        done < <(grep -h -E '^(URIs|Suites|Signed-By):' /etc/apt/sources.list.d/*.sources)
    fi
    if [[ -z "$uri" && -f /etc/apt/sources.list ]]; then
        read -r uri suite < <(awk '$1 == "deb" && $2 !~ /^\[/ {print $2, $3; exit}' /etc/apt/sources.list)
    fi
    [[ -n "$uri" && -n "$suite" ]] || die "no Debian archive found in /etc/apt"
    local opts=""
    [[ -n "$key" ]] && opts="[signed-by=$key] "
    local want="deb-src ${opts}$uri $suite main"
    if [[ "$(cat "$dir/sources.list" 2>/dev/null)" != "$want" || ! -e "$dir/updated" ]]; then
        printf '%s\n' "$want" >"$dir/sources.list"
        log "private apt: $want"
        private_apt update >/dev/null
        touch "$dir/updated"
    fi
}

# Version of a source package in the private lists.
source_version() {
    private_apt showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2; exit}' || true
}

# Cross-builds the Windows libraries, each into a prefix of its own in a
# per-user cache outside the tree (a fresh clone reuses it), keyed by the
# toolchain, its source version, its own build steps and the keys of what it
# builds against: a changed or added library rebuilds only itself and what
# builds against it. build/windows-deps/prefix links to their union, made of
# hard links and cached under the combined key.
windows_deps() {
    apt_deps "${WINDOWS_PACKAGES[@]}"
    private_apt_setup
    local toolchain lib ver dep against name dirs=() start=$SECONDS
    local -A dir_of=()
    toolchain="gcc-$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)"
    toolchain+="_zlib-$(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)"
    for lib in "${WINDOWS_SOURCES[@]}" googletest; do
        if [[ "$lib" == googletest ]]; then
            ver="$(dpkg-query -W -f='${Version}' googletest)"
        else
            ver="$(source_version "$lib")"
        fi
        [[ -n "$ver" ]] || die "source package $lib not found"
        against=()
        for dep in ${WINDOWS_BUILDS_AGAINST[$lib]:-}; do
            against+=("${dir_of[$dep]}")
        done
        name="$lib-$ver-$(printf '%s\n' "$toolchain" "$(windows_recipe "$lib")" "${against[@]##*/}" |
            sha256sum | cut -c1-12)"
        name="$(tr -c 'A-Za-z0-9._+\n-' '_' <<<"$name")"
        dir_of[$lib]="$WINDOWS_CACHE/$name"
        windows_library "$lib" "${dir_of[$lib]}" "${against[@]}"
        dirs+=("${dir_of[$lib]}")
    done
    local union
    union="$WINDOWS_CACHE/union-$(printf '%s\n' "${dirs[@]##*/}" | sha256sum | cut -c1-12)"
    [[ -d "$union" ]] || windows_union "$union" "${dirs[@]}"
    mkdir -p "$WINDOWS_DEPS"
    ln -sfn "$union" "$WINDOWS_DEPS/prefix"
    windows_prefix_init
    log "Windows libraries in $union ($((SECONDS - start)) s)"
}

# The build steps of a library: its cross_build_ function and the helpers
# they share.
windows_recipe() {
    declare -f "cross_build_$1" cross_cmake
}

# Builds LIB into DIR unless DIR exists, against the prefixes after it. It
# is built under a temporary name and renamed when complete, so a killed
# build never looks complete.
windows_library() {
    local lib="$1" dir="$2"
    shift 2
    [[ -d "$dir" ]] && return 0
    local tmp="$WINDOWS_CACHE/.building-${dir##*/}-$$" start=$SECONDS
    rm -rf "$tmp" "$WINDOWS_DEPS/src/$lib"
    mkdir -p "$tmp" "$WINDOWS_DEPS/src/$lib"
    # What it builds against, seen as one prefix (the cross builds' find root).
    CROSS_AGAINST="$tmp"
    if (($# == 1)); then
        CROSS_AGAINST="$1"
    elif (($# > 1)); then
        CROSS_AGAINST="$WINDOWS_DEPS/src/$lib/against"
        windows_union "$CROSS_AGAINST" "$@"
    fi
    "cross_build_$lib" "$tmp"
    # Installed files name the prefix they were built for (pkg-config,
    # CMake packages): point them at the final name before renaming.
    { grep -rlIF -- "$tmp" "$tmp" || true; } | xargs -r sed -i "s|$tmp|$dir|g"
    # Another build of the same key may have finished first: keep its.
    mv -T "$tmp" "$dir" 2>/dev/null || rm -rf "$tmp"
    rm -rf "$WINDOWS_DEPS/src/$lib"
    log "$lib cross-built in $((SECONDS - start)) s"
}

# Makes DIR the union of the prefixes after it, as hard links (no copy);
# two libraries installing the same file is an error.
windows_union() {
    local dir="$1" tmp="$1.tmp-$$" prefix
    shift
    rm -rf "$tmp"
    mkdir -p "$tmp"
    for prefix in "$@"; do
        cp -al "$prefix/." "$tmp/" 2>/dev/null || die "the Windows libraries overlap (${prefix##*/})"
    done
    mv -T "$tmp" "$dir" 2>/dev/null || rm -rf "$tmp"
}

# Runs a quiet build step; on failure prints its log and stops.
quiet() {
    local log_file
    log_file="$(mktemp)"
    if ! "$@" >"$log_file" 2>&1; then
        cat "$log_file" >&2
        rm -f "$log_file"
        die "failed: $*"
    fi
    rm -f "$log_file"
}

# Unpacks a Debian source package into build/windows-deps/src/PKG and
# prints its directory.
fetch_source() {
    local pkg="$1"
    (cd "$WINDOWS_DEPS/src/$pkg" && private_apt source --only-source "$pkg" >/dev/null)
    find "$WINDOWS_DEPS/src/$pkg" -maxdepth 1 -mindepth 1 -type d -name "$pkg*" | head -1
}

# CMake flags every cross build shares: the toolchain, a static release
# library, the prefix being built and what it builds against (CROSS_AGAINST).
cross_cmake() {
    local src="$1" prefix="$2"
    shift 2
    quiet cmake -S "$src" -B "$src/build-win" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DTRAVIK_WINDOWS_PREFIX="$CROSS_AGAINST" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF "$@"
    quiet cmake --build "$src/build-win" -j2
    quiet cmake --install "$src/build-win"
}

# OpenSSL's libraries and headers only (no programs, no loadable modules).
# Its configuration directory defaults to a relative path on Windows (the
# current drive's \usr\local\ssl, which any user may create): it names the
# administrators' folder instead, as OpenSSL's own Windows builds do.
cross_build_openssl() {
    local prefix="$1" src
    src="$(fetch_source openssl)"
    log "cross-building OpenSSL from $src (over a thousand files: minutes)"
    (
        cd "$src"
        quiet ./Configure mingw64 no-shared no-tests no-module --cross-compile-prefix="$MINGW-" CC=gcc-posix \
            --prefix="$prefix" --libdir=lib
        sed -i 's|^OPENSSLDIR=.*|OPENSSLDIR=C:/Program Files/Common Files/SSL|' Makefile
        quiet make -j2 build_libs
        quiet make install_dev
    )
}

# With its OpenSSL bufferevents (libevent_openssl), against the OpenSSL above.
cross_build_libevent() {
    local prefix="$1" src
    src="$(fetch_source libevent)"
    log "cross-building libevent from $src"
    cross_cmake "$src" "$prefix" -DEVENT__LIBRARY_TYPE=STATIC -DEVENT__DISABLE_OPENSSL=OFF \
        -DOPENSSL_ROOT_DIR="$CROSS_AGAINST" -DOPENSSL_USE_STATIC_LIBS=ON \
        -DEVENT__DISABLE_TESTS=ON -DEVENT__DISABLE_SAMPLES=ON -DEVENT__DISABLE_BENCHMARK=ON \
        -DEVENT__DISABLE_REGRESS=ON
}

cross_build_libjpeg-turbo() {
    local prefix="$1" src
    src="$(fetch_source libjpeg-turbo)"
    log "cross-building libjpeg-turbo from $src"
    # No SIMD: its assembly needs nasm, which the toolchain does not bring.
    # Its own GNUInstallDirs takes a relative libdir from the working directory.
    cross_cmake "$src" "$prefix" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF \
        -DWITH_TURBOJPEG=ON -DWITH_JAVA=OFF -DCMAKE_INSTALL_LIBDIR="$prefix/lib"
}

# libspng is one C file; its CMake project cannot make a static library
# alone, so it is compiled here, with the pkg-config file Debian names spng.
# zlib is private: its user links the static one (mingw's -lz is the DLL's).
cross_build_libspng() {
    local prefix="$1" src version
    src="$(fetch_source libspng)"
    log "cross-building libspng from $src"
    mkdir -p "$prefix/lib/pkgconfig" "$prefix/include"
    quiet "$MINGW-gcc-posix" -O2 -DSPNG_STATIC -c "$src/spng/spng.c" -o "$src/spng.o"
    quiet "$MINGW-ar" rcs "$prefix/lib/libspng.a" "$src/spng.o"
    cp "$src/spng/spng.h" "$prefix/include/"
    version="$(awk '/define SPNG_VERSION_(MAJOR|MINOR|PATCH)/ {v = v (v ? "." : "") $3} END {print v}' "$src/spng/spng.h")"
    printf '%s\n' "prefix=$prefix" "Name: spng" "Description: PNG library (static)" "Version: $version" \
        'Libs: -L${prefix}/lib -lspng' 'Libs.private: -lz' 'Cflags: -I${prefix}/include -DSPNG_STATIC' \
        >"$prefix/lib/pkgconfig/spng.pc"
}

cross_build_libzstd() {
    local prefix="$1" src
    src="$(fetch_source libzstd)"
    log "cross-building zstd from $src"
    cross_cmake "$src/build/cmake" "$prefix" -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_STATIC=ON \
        -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF -DZSTD_MULTITHREAD_SUPPORT=ON
}

# openh264's own Makefile, the static library only; no assembly (nasm).
cross_build_openh264() {
    local prefix="$1" src
    src="$(fetch_source openh264)"
    log "cross-building openh264 from $src"
    quiet make -C "$src" -j2 OS=mingw_nt ARCH=x86_64 USE_ASM=No CC="$MINGW-gcc-posix" CXX="$MINGW-g++-posix" \
        AR="$MINGW-ar" PREFIX="$prefix" install-static
}

# libyuv's static library alone (its project also builds a DLL and tools);
# without JPEG input, which the tool does not use.
cross_build_libyuv() {
    local prefix="$1" src
    src="$(fetch_source libyuv)"
    log "cross-building libyuv from $src"
    quiet cmake -S "$src" -B "$src/build-win" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DTRAVIK_WINDOWS_PREFIX="$CROSS_AGAINST" -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_JPEG=ON
    quiet cmake --build "$src/build-win" -j2 --target yuv
    mkdir -p "$prefix/lib" "$prefix/include"
    cp "$src/build-win/libyuv.a" "$prefix/lib/"
    cp -r "$src/include/libyuv" "$src/include/libyuv.h" "$prefix/include/"
}

# GoogleTest from the sources Debian's googletest package installs.
cross_build_googletest() {
    local prefix="$1" build="$WINDOWS_DEPS/src/googletest/build"
    log "cross-building GoogleTest from /usr/src/googletest"
    cmake -S /usr/src/googletest -B "$build" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF >/dev/null
    cmake --build "$build" -j2 >/dev/null
    cmake --install "$build" >/dev/null
}

# The wine prefix the tests run in, made once.
windows_prefix_init() {
    export WINEPREFIX="${WINEPREFIX:-$WINDOWS_DEPS/wineprefix}" WINEDEBUG=-all
    if [[ ! -e "$WINEPREFIX/system.reg" ]]; then
        log "making the wine prefix $WINEPREFIX"
        /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || die "wineboot -i failed"
        /usr/lib/wine/wineserver -w || true
    fi
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
    if [[ "$preset" == "windows" ]]; then
        cmd_deps windows
    else
        cmd_deps
    fi
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j2
}

cmd_test() {
    local preset="${1:-default}"
    cmd_build "$preset"
    if [[ "$preset" != "windows" ]]; then
        ctest --preset "$preset"
        return
    fi
    # The browser test drives the Linux chromium through the node packages.
    npm_deps
    # One wine server for the whole run: each test program is its own wine
    # process, and a server that lingers only its default 3 s can be shutting
    # down just as the next test connects to it. Its helper processes are
    # started here with no output attached: they would otherwise hold the
    # first test's output pipe open until the server ends.
    export WINEPREFIX="$WINDOWS_DEPS/wineprefix"
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    /usr/lib/wine/wineserver -p
    /usr/lib/wine/wine64 wineboot >/dev/null 2>&1 </dev/null || die "wineboot failed in $WINEPREFIX"
    local rc=0
    ctest --preset "$preset" || rc=$?
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    return "$rc"
}

# The demo needs only the library and the tool: no test tools, no browser,
# no Python, and a build of the one program.
cmd_demo() {
    apt_deps "${BUILD_PACKAGES[@]}"
    cmake --preset demo
    cmake --build --preset demo -j2 --target travik_tool
    exec build/demo/tools/travik demo "$@"
}

# A fuzzing campaign: every target of build/fuzz/fuzz/targets.txt in turn,
# on its corpus under build/fuzz/corpus (seeded from fuzz/corpus the first
# time; libFuzzer adds what covers something new), with the target's memory
# limits. A finding stops its target and is kept under build/fuzz/findings;
# only this run's findings are counted.
cmd_fuzz() {
    local minutes="${1:-3}"
    [[ "$minutes" =~ ^[1-9][0-9]*$ ]] || die "fuzz: MINUTES must be a whole number, at least 1"
    shift || true
    # Any further arguments name the targets to run; none means all of them.
    local only=" $* "
    cmd_build fuzz
    local bin=build/fuzz/fuzz corpora=build/fuzz/corpus findings=build/fuzz/findings
    local name limits out runs rate cov found failed=0
    local rows=()
    [[ -f "$bin/targets.txt" ]] || die "no $bin/targets.txt: the fuzz preset did not configure"
    for name in "$@"; do
        grep -q "^$name " "$bin/targets.txt" || die "fuzz: no target '$name' (the targets: $(cut -d' ' -f1 "$bin/targets.txt" | xargs))"
    done
    while read -r name limits; do
        [[ "$only" == "  " || "$only" == *" $name "* ]] || continue
        mkdir -p "$corpora/$name" "$findings/$name"
        cp -n fuzz/corpus/"$name"/* "$corpora/$name/" 2>/dev/null || true
        out="$findings/$name.log"
        touch "$findings/$name.start"
        log "fuzzing $name for $minutes min"
        # shellcheck disable=SC2086 # the limits are separate arguments
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            "$bin/${name}_fuzz" -max_total_time=$((minutes * 60)) $limits -print_final_stats=1 \
            -artifact_prefix="$findings/$name/" "$corpora/$name" >"$out" 2>&1 </dev/null || true
        runs="$(awk '/stat::number_of_executed_units:/ {print $2}' "$out")"
        rate="$(awk '/stat::average_exec_per_sec:/ {print $2}' "$out")"
        cov="$(grep -o 'cov: [0-9]*' "$out" | tail -1 | awk '{print $2}')"
        found="$(find "$findings/$name" -type f -newer "$findings/$name.start" | wc -l)"
        ((found == 0)) || failed=1
        rows+=("$(printf '%-14s %12s %10s %9s %9s' "$name" "${runs:-?}" "${rate:-?}" "${cov:-?}" "$found")")
    done <"$bin/targets.txt"
    printf '%-14s %12s %10s %9s %9s\n' target inputs inputs/s coverage findings
    printf '%s\n' "${rows[@]}"
    ((failed == 0)) || die "findings under $findings (the logs beside them say what)"
}

# The soak measures the shipped programs: the tool of the default preset,
# built first together with the soak program.
cmd_soak() {
    local minutes="${1:-10}"
    [[ "$minutes" =~ ^[0-9]+([.][0-9]+)?$ ]] || die "soak: MINUTES must be a number, not '$minutes'"
    cmake --preset default >/dev/null
    cmake --build --preset default -j2 --target travik_tool travik_soak
    exec build/default/tests/soak/travik_soak --minutes "$minutes" --out "$ROOT/build/soak"
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

# The zip for Windows developers (cmake/WindowsPackage.cmake says what is in it).
cmd_package() {
    [[ "${1:-}" == "windows" ]] || die "usage: ./travik.sh package windows"
    cmd_build windows
    cmake -DBUILD_DIR="$ROOT/build/windows" -DSOURCE_DIR="$ROOT" -DOUT_DIR="$ROOT/build/windows" \
        -P "$ROOT/cmake/WindowsPackage.cmake"
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
        package) cmd_package "$@" ;;
        fuzz) cmd_fuzz "$@" ;;
        soak) cmd_soak "$@" ;;
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
