#!/usr/bin/env bash
# Installs what is needed, then runs every test: the C++ unit tests and the
# whole Python suite against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Python suite against the normal build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh

jobs="${JOBS:-$(nproc 2>/dev/null || echo 2)}"
# One sanitized tree builds the engine once for the C++ tests and for a
# second copy of the extension, kept apart from the one installed in .venv.
# It builds the baseline copy of the vector loops only: the build in .venv
# runs the widest copy this processor has, so the same exact tests, run on
# both, hold the copies to each other on every machine.
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DTIDEMARK_BUILD_TESTS=ON -DTIDEMARK_SANITIZE=ON -DTIDEMARK_WERROR=ON -DTIDEMARK_CLONES=baseline \
  -DTIDEMARK_PYTHON_MODULE=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

# Run from the tests directory so that the installed package is what is tested.
(cd tests && ../.venv/bin/python -m pytest -q -p no:cacheprovider .)

bash scripts/pytest-sanitized.sh .
