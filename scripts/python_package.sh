#!/usr/bin/env bash
# Checks `pip install .` of the Python package: installs it from this source
# tree into a fresh virtual environment (Debian's Python, seeing Debian's
# numpy; the build backend from Debian too, hence --no-build-isolation) and
# runs a round trip with the installed package, from outside the tree.
#   scripts/python_package.sh [DIR]   the environment goes to DIR (default: a
#                                     temporary directory, removed at the end)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh python
python=/usr/bin/python3
if [ $# -ge 1 ]; then
  env_dir=$1
else
  env_dir=$(mktemp -d)
  trap 'rm -rf "$env_dir"' EXIT
fi
$python -m venv --system-site-packages "$env_dir/venv"
"$env_dir/venv/bin/pip" install --no-build-isolation --no-input --quiet .
cd "$env_dir"
"$env_dir/venv/bin/python" - <<'PY'
import os
import numpy as np
import tessera

assert os.path.dirname(tessera.__file__).startswith(os.getcwd()), tessera.__file__
a = np.random.default_rng(0).random((500, 300))
with tessera.Session(memory="64M") as session:
    with session.create("check.tsf") as fs:
        fs.create_matrix("A", a.shape)[:, :] = a
    with session.open("check.tsf") as fs:
        assert np.array_equal(fs.open_matrix("A", readonly=True)[:, :], a)
print(f"tessera {tessera.__file__}: installed package round trip passed")
PY
