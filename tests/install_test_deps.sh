#!/usr/bin/env bash
# Installs what building and running the tests needs on a fresh Debian machine: GoogleTest from Debian,
# CMake and Ninja from PyPI, and the module itself with its test extra into the current python3.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
fi
python3 -m pip install -q --upgrade "cmake>=3.26" ninja
python3 -m pip install -q ".[test]"
