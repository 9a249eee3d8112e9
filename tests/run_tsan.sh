#!/usr/bin/env bash
# Builds the C++ suites with ThreadSanitizer and runs them; any data race report fails the run. The tests
# that fork or count threads are left out: ThreadSanitizer cannot follow fork() in a multi-threaded process
# and runs a thread of its own, and timing checks mean nothing at its speed.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg -s libgtest-dev >/dev/null 2>&1 || ! command -v ninja >/dev/null || ! command -v cmake >/dev/null; then
  bash tests/install_test_deps.sh
fi

build=build/tsan
cmake -S . -B "$build" -G Ninja -DQUORLIX_BUILD_TESTS=ON -DQUORLIX_BUILD_MODULE=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -g" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$build" -j2

# halt_on_error turns the first report into a failing test.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
ctest --test-dir "$build" --output-on-failure -j2 \
  -E '^(Fork\.|StartUp\.|Workers\.ExactlyFourDistinctWorkerThreadsRunALargeJob|Workers\.SmallCallsCostMicroseconds)'
