#!/usr/bin/env bash
# Installs the Debian packages one kind of work needs (idempotent; only what
# is missing is installed, and apt-get update runs only when something is).
#   scripts/setup.sh            what building the library and running the solve need
#   scripts/setup.sh python     + Debian's Python 3, numpy and pybind11 for the Python
#                               package, and what `pip install .` needs (setuptools,
#                               wheel, pip, venv)
#   scripts/setup.sh test       + the test tools, Doxygen (the reference), gfortran
#                               (the Fortran module and its example host), and the
#                               python kind with pytest and scipy
#   scripts/setup.sh m32        + the i386 tool chain and BLAS; qemu-user too when this
#                               kernel cannot run i386 programs (scripts/i386.sh tells)
#   scripts/setup.sh bench      + Google Benchmark and the peer solvers measured against
# Several kinds may be named at once: scripts/setup.sh test m32.
set -euo pipefail
cd "$(dirname "$0")/.."

base=(g++ cmake make pkg-config libopenblas-dev libcli11-dev nlohmann-json3-dev libmetis-dev libboost-graph-dev libxxhash-dev libpng-dev)
test_pkgs=(googletest libgtest-dev libbenchmark-dev doxygen gfortran)
python_pkgs=(python3-dev python3-numpy pybind11-dev python3-setuptools python3-wheel python3-pip python3-venv)
python_test_pkgs=(python3-pytest python3-scipy)
m32_pkgs=(g++-multilib libopenblas-dev:i386)
bench_pkgs=(libbenchmark-dev libsuitesparse-dev libmumps-seq-dev)

want=("${base[@]}")
m32=0
for kind in "$@"; do
  case "$kind" in
    test) want+=("${test_pkgs[@]}" "${python_pkgs[@]}" "${python_test_pkgs[@]}") ;;
    python) want+=("${python_pkgs[@]}") ;;
    m32) want+=("${test_pkgs[@]}" "${m32_pkgs[@]}"); m32=1 ;;
    bench) want+=("${bench_pkgs[@]}") ;;
    run) ;;
    *) sed -n '2,14s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
  esac
done

SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
updated=0
install() {
  local need=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
  done
  [ ${#need[@]} -gt 0 ] || return 0
  if printf '%s\n' "${need[@]}" | grep -q ':i386$' &&
     ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    updated=0
  fi
  if [ "$updated" -eq 0 ]; then $SUDO apt-get update -qq; updated=1; fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
}

install "${want[@]}"
if [ "$m32" -eq 1 ] && [ "$(scripts/i386.sh)" != native ]; then
  install qemu-user
fi
