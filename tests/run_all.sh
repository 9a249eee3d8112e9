#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ unit tests (CTest) and the Python
# tests (pytest) against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tests/install_test_deps.sh

cmake -S . -B build/tests -G Ninja -DQUORLIX_BUILD_TESTS=ON -DQUORLIX_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests -j2
ctest --test-dir build/tests --output-on-failure -j2

python3 -m pytest -q tests/python
