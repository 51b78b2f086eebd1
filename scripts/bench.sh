#!/usr/bin/env bash
# Builds the benchmarks (release build in build-bench/) and runs one of them.
#   scripts/bench.sh transfer [MiB] [options]  puts and gets of a MiB-sized double matrix
#                                              (default 1024) against plain pwrite/pread;
#                                              options go to transfer_bench (--help lists them)
#   scripts/bench.sh mult [n] [options]        hlmult on n x n matrices
#   scripts/bench.sh kernels [options]         the block product kernels against dgemm
#   scripts/bench.sh session [options]         sessions that store or rewrite matrices, removal
#                                              after removal, timed by phase
#   scripts/bench.sh solve [options]           tessera solve against dpotrf, CHOLMOD and MUMPS,
#                                              each run in its own process (--quick: small
#                                              sizes; solve_bench --help lists the options)
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { sed -n '2,12s/^# \{0,1\}//p' "$0" >&2; exit 2; }
[ $# -ge 1 ] || usage
what=$1; shift
case "$what" in
  transfer) target=transfer_bench ;;
  mult) target=hlmult_bench ;;
  kernels) target=block_kernels_bench ;;
  session) target=session_bench ;;
  solve) target=solve_bench ;;
  *) usage ;;
esac
scripts/setup.sh bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTESSERA_BENCH=ON -DTESSERA_TESTS=OFF > /dev/null
cmake --build build-bench -j 2 --target "$target"
case "$what" in
  transfer)
    if [ $# -ge 1 ] && [[ $1 != -* ]]; then size=$1; shift; set -- --mib "$size" "$@"; fi
    exec build-bench/bin/transfer_bench "$@" ;;
  solve)
    # The machine's load goes with the figures: before and after.
    echo "uptime before: $(uptime)"
    status=0
    build-bench/bin/solve_bench "$@" || status=$?
    echo "uptime after: $(uptime)"
    exit "$status" ;;
  *) exec "build-bench/bin/$target" "$@" ;;
esac
