#!/usr/bin/env bash
# Builds and runs the tests. No option: the x86-64 build in build/.
#   --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   --m32       i386, in build-m32/; where this kernel cannot run i386 programs
#               they run under qemu-i386 (TESSERA_I386_EMULATOR=1 forces that,
#               see scripts/i386.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build; opts=(-DTESSERA_TESTS=ON -DTESSERA_BENCH=ON); kinds=(test)
case "${1:-}" in
  --sanitize) dir=build-asan; opts=(-DTESSERA_TESTS=ON -DTESSERA_SANITIZE=ON -DTESSERA_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
  --m32) dir=build-m32; opts=(-DTESSERA_TESTS=ON -DTESSERA_M32=ON -DTESSERA_BENCH=OFF); kinds=(m32) ;;
  "") ;;
  *) echo "usage: $0 [--sanitize|--m32]" >&2; exit 2 ;;
esac
scripts/setup.sh "${kinds[@]}"
if [ "${1:-}" = --m32 ]; then
  if [ "$(scripts/i386.sh)" = native ]; then
    echo "i386 programs run natively"
    opts+=(-DCMAKE_CROSSCOMPILING_EMULATOR=)
  else
    emulator=$(command -v qemu-i386)
    echo "i386 programs run under the emulator $emulator ($(qemu-i386 --version | head -1))"
    opts+=("-DCMAKE_CROSSCOMPILING_EMULATOR=$emulator")
  fi
fi
cmake -S . -B "$dir" "${opts[@]}" > /dev/null
cmake --build "$dir" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
