#!/usr/bin/env bash
# Builds the extension module and the C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer, then
# runs the C++ tests (CTest) and the Python tests (pytest) under them. Any report ends the process with a
# failure, so a green run means zero reports.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! python3 -c "import pytest, hypothesis, scipy, numpy" 2>/dev/null || ! dpkg -s libgtest-dev >/dev/null 2>&1 ||
  ! command -v ninja >/dev/null; then
  bash tests/install_test_deps.sh
fi

build=build/sanitize
# The module is built for the stable ABI, as pip builds it.
cmake -S . -B "$build" -G Ninja -DQUORLIX_BUILD_TESTS=ON -DQUORLIX_SANITIZE=ON -DCMAKE_CXX_FLAGS=-g \
  -DPython_EXECUTABLE="$(command -v python3)" -DSKBUILD_SABI_COMPONENT=Development.SABIModule \
  -DSKBUILD_SABI_VERSION=3.11 >/dev/null
cmake --build "$build" -j2

# halt_on_error ends the process at the first report; UBSan's are made fatal at compile time
# (-fno-sanitize-recover) and here as well. Every C++ test binary is fully instrumented, so leaks are
# checked there.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:strict_init_order=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir "$build" --output-on-failure -j2

# The interpreter itself is not instrumented: the sanitizer runtime has to be loaded before anything else,
# and the interpreter's own allocations, never freed at exit by design, are not leaks to report. Child
# interpreters started by the tests inherit all of this.
asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$asan_runtime:$ubsan_runtime"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=0
export PYTHONPATH="$PWD/$build"
python3 -c "import quorlix, sys; assert quorlix.__file__.startswith(sys.argv[1]), quorlix.__file__" "$PWD/$build"
python3 -m pytest -q -p no:cacheprovider tests/python
