#!/usr/bin/env bash
# The main job: an out-of-core solve with `tessera solve`. Installs what the
# solve needs (no test or benchmark tools), builds only the tessera program
# and what it links, and solves a generated finite-element problem whose
# factor is several times larger than the memory the solve may hold.
#
#   scripts/run.sh                      the embedded problem
#   scripts/run.sh OPTIONS...           tessera solve OPTIONS... instead
#                                       (e.g. --generate laplace3d:40 --memory 1G)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DTESSERA_TESTS=OFF -DTESSERA_BENCH=OFF > /dev/null
cmake --build build --target tessera_tool -j "$(nproc)"
if [ $# -eq 0 ]; then
  set -- --generate elasticity3d:16 --memory 24M
fi
exec build/bin/tessera solve "$@"
