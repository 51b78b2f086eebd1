#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with (idempotent).
set -euo pipefail
need=()
arch_i386=$(dpkg --print-foreign-architectures | grep -c '^i386$' || true)
for p in g++ cmake make libopenblas-dev googletest libgtest-dev libbenchmark-dev g++-multilib; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
dpkg-query -W -f='${Status}' libopenblas-dev:i386 2>/dev/null | grep -q 'install ok installed' || need+=("libopenblas-dev:i386")
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  [ "$arch_i386" -eq 0 ] && $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
