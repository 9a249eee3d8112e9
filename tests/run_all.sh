#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ unit tests (CTest) and the Python
# tests (pytest) against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
fi
python3 -m pip install -q --upgrade "cmake>=3.20" ninja
python3 -m pip install -q ".[test]"

cmake -S . -B build/tests -G Ninja -DQUORLIX_BUILD_TESTS=ON -DQUORLIX_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests -j2
ctest --test-dir build/tests --output-on-failure -j2

python3 -m pytest -q tests/python
