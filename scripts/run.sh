#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the example host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build > /dev/null
cmake --build build -j "$(nproc)"
build/bin/dense_solve
