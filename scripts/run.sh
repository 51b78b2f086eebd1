#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the example hosts:
# an out-of-core product kept in a file set (removed, reopened, checked) and
# a dense solve with the Crout solver.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh run
cmake -S . -B build -DTESSERA_TESTS=OFF -DTESSERA_BENCH=OFF > /dev/null
cmake --build build -j "$(nproc)"
build/bin/out_of_core "$@"
build/bin/dense_solve
