#!/usr/bin/env bash
# Tells how i386 programs run here: prints "native" when this kernel runs a
# tiny program built with gcc -m32, "emulator" when it does not (some kernels
# are built without 32-bit support and answer "Exec format error"); the i386
# build then runs its programs, test discovery included, under qemu-i386.
#   TESSERA_I386_EMULATOR=1  answer "emulator" even where i386 runs natively,
#                            to exercise the emulated path on such a machine.
# Needs gcc with -m32 support (g++-multilib) to give "native".
set -uo pipefail
if [ "${TESSERA_I386_EMULATOR:-0}" != 0 ]; then echo emulator; exit 0; fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf 'int main(void) { return 0; }\n' > "$dir/probe.c"
if gcc -m32 -o "$dir/probe" "$dir/probe.c" 2>/dev/null && "$dir/probe" 2>/dev/null; then
  echo native
else
  echo emulator
fi
