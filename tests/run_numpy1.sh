#!/usr/bin/env bash
# Runs the Python tests against NumPy 1.x: the module reaches NumPy's C interface at run time, through a
# table whose location moved in NumPy 2, so both major versions are exercised. Uses its own virtual
# environment, with the module installed into it as a user would install it.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=build/venv-numpy1
if [ ! -x "$venv/bin/python" ]; then
  # A Debian system interpreter has venv only with its python3-venv package.
  if ! python3 -m venv "$venv" >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-venv >/dev/null
    rm -rf "$venv"
    python3 -m venv "$venv"
  fi
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q ".[test]" "numpy>=1.26,<2"
"$venv/bin/python" -c "import numpy, sys; sys.exit(0 if numpy.__version__.startswith('1.') else 'NumPy 1.x expected')"
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
