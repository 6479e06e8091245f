#!/usr/bin/env bash
# Installs what is needed, then runs every test: the C++ unit tests (built with
# AddressSanitizer and UndefinedBehaviorSanitizer) and the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh

jobs="$(nproc 2>/dev/null || echo 2)"
cmake -S . -B build/cpp-tests -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DTIDEMARK_BUILD_TESTS=ON -DTIDEMARK_SANITIZE=ON -DTIDEMARK_WERROR=ON >/dev/null
cmake --build build/cpp-tests -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/cpp-tests --output-on-failure -j "$jobs"

# Run from the tests directory so that the installed package is what is tested.
(cd tests && ../.venv/bin/python -m pytest -q -p no:cacheprovider .)
