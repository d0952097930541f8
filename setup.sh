#!/usr/bin/env bash
# Set-up, build and test of quilt on a Debian machine.
#
#   ./setup.sh            install what is missing, configure and build the host preset
#   ./setup.sh demo       ... and run `quilt demo` on the embedded default machine
#   ./setup.sh test       build host, host-asan and windows-x86 (warnings are errors),
#                         run every test of both host presets and the quilt.sys check
#
# Missing Debian packages are installed with apt-get (as root, non-interactive).
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake make g++ googletest libgtest-dev libbenchmark-dev
          g++-mingw-w64-i686 mingw-w64-i686-dev)
JOBS="$(nproc 2>/dev/null || echo 2)"

# When ccache is installed, compilations are shared between clones of the
# repository wherever they lie: paths are hashed relative to the clone.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1

install_missing_packages() {
    local missing=()
    for package in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    echo "setup: installing ${missing[*]}"
    local sudo=()
    [[ "$(id -u)" -ne 0 ]] && sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build_preset() {
    local preset="$1"; shift
    echo "setup: configuring and building preset $preset"
    cmake --preset "$preset" "$@" >/dev/null
    cmake --build --preset "$preset" -j "$JOBS"
}

run_tests() {
    local preset="$1"
    echo "setup: running the tests of preset $preset"
    ctest --preset "$preset" -j "$JOBS"
}

mode="${1:-build}"
install_missing_packages
case "$mode" in
    build)
        build_preset host
        ;;
    demo)
        build_preset host
        ./build/host/tools/quilt/quilt demo
        ;;
    test)
        build_preset windows-x86 -DQUILT_WERROR=ON
        build_preset host -DQUILT_WERROR=ON
        run_tests host
        build_preset host-asan -DQUILT_WERROR=ON
        run_tests host-asan
        echo "setup: all tests passed"
        ;;
    *)
        echo "usage: $0 [build|demo|test]" >&2
        exit 2
        ;;
esac
