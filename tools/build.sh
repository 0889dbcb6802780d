#!/usr/bin/env bash
# Configures and builds the named trees under build/ (all of them when none is named):
#   native        g++, the portable code and its tests
#   asan          native with AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan          native with ThreadSanitizer
#   fuzz          clang with libFuzzer, the fuzz targets only
#   mingw-x86_64  64-bit Windows (its tests run under Wine)
#   mingw-i686    32-bit Windows, the program's target: the program, quillforthd and the installer
#                 only, since no 32-bit Wine here could run its tests
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${QF_JOBS:-$(nproc)}

configure_args() {
    case "$1" in
        native) echo "" ;;
        asan) echo "-DQF_SANITIZE=address" ;;
        tsan) echo "-DQF_SANITIZE=thread" ;;
        fuzz) echo "-DQF_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++" ;;
        mingw-x86_64) echo "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-x86_64.cmake" ;;
        mingw-i686) echo "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-i686.cmake -DQF_TESTS=OFF" ;;
        *) echo "unknown tree: $1" >&2; return 1 ;;
    esac
}

trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(native asan tsan fuzz mingw-x86_64 mingw-i686)
for tree in "${trees[@]}"; do
    args=$(configure_args "$tree")
    echo "== build $tree"
    # shellcheck disable=SC2086 # the arguments are words on purpose
    cmake -S "$root" -B "$root/build/$tree" -G Ninja -DQF_WERROR=ON $args >/dev/null
    cmake --build "$root/build/$tree" -j "$jobs"
done
