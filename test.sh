#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test through ctest.
# Exits non-zero when any test fails.
#
#   ./test.sh                      Debug build in ./build-test
#   VELVORA_SANITIZE=1 ./test.sh   AddressSanitizer + UBSan build in ./build-asan
#   ./test.sh -R devices           extra arguments go to ctest
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

scripts/setup-debian.sh

cmake_options=(-DCMAKE_BUILD_TYPE=Debug)
build_dir=build-test
if [[ "${VELVORA_SANITIZE:-0}" != 0 ]]; then
    build_dir=build-asan
    cmake_options+=(-DVELVORA_SANITIZE=ON)
    # Leaks count as failures too; where LeakSanitizer cannot run (it needs
    # ptrace), set ASAN_OPTIONS=detect_leaks=0.
    export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
fi

jobs="$(nproc)"
cmake -S . -B "$build_dir" "${cmake_options[@]}"
cmake --build "$build_dir" -j"$jobs"

export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error -j2 "$@"
