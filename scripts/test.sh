#!/usr/bin/env bash
# Builds and runs the tests. No option: the x86-64 build in build/.
#   --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   --m32       i386, in build-m32/
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
dir=build; opts=()
case "${1:-}" in
  --sanitize) dir=build-asan; opts=(-DTESSERA_SANITIZE=ON -DTESSERA_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
  --m32) dir=build-m32; opts=(-DTESSERA_M32=ON -DTESSERA_BENCH=OFF) ;;
  "") ;;
  *) echo "usage: $0 [--sanitize|--m32]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" "${opts[@]}" > /dev/null
cmake --build "$dir" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
