#!/usr/bin/env bash
# Runs pytest against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer in build/sanitize (scripts/test.sh builds it),
# in place of the normal build installed in .venv. Arguments go to pytest,
# for example:  bash scripts/pytest-sanitized.sh test_fuzz.py -k sma
# Any sanitizer report fails the run, a leak included.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="$root/build/sanitize"
cxx="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")"

# The interpreter is not built with the sanitizers, so their runtime must be
# loaded before anything else; libstdc++ with it, or the runtime finds no
# __cxa_throw to hand C++ exceptions to.
export LD_PRELOAD="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libstdc++.so)"
# Every Python object through malloc, so that AddressSanitizer sees object
# overruns and use after free, and LeakSanitizer sees every object.
export PYTHONMALLOC=malloc
# allocator_may_return_null: an allocation that cannot be had returns null, as
# in the normal build, and the extension raises MemoryError (operator new
# still aborts on it, so sizes from the caller must be checked before use).
# The interpreter has no frame pointers: the slow unwinder is needed for
# stacks deep enough to name a leak's origin.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:fast_unwind_on_malloc=0:malloc_context_size=12"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$build:$root/python"

python="$root/.venv/bin/python"
# The sanitized module, not the one installed in .venv, must be the one imported.
"$python" -c "import _tidemark, sys; sys.exit(not _tidemark.__file__.startswith('$build/'))" \
  || { echo "pytest-sanitized: _tidemark does not come from $build" >&2; exit 1; }
# And a leak must be reported: a lost allocation has to end the process with
# LeakSanitizer's exit code.
if "$python" -c "import ctypes; ctypes.CDLL(None).malloc(4096)" 2>/dev/null; then
  echo "pytest-sanitized: LeakSanitizer does not report leaks" >&2
  exit 1
fi

# --capture=sys leaves file descriptor 2 alone, so that a sanitizer report
# written just before the process dies reaches the log.
#
# Some tests ask for impossible sizes on purpose (the call must raise
# MemoryError). AddressSanitizer then returns null, as asked above, but
# always prints a warning first, and no option silences it (only one that
# sends every report elsewhere). Each such line is marked as expected where it
# appears; everything else on standard error passes through unchanged.
cd tests
exec 3>&1
set +e
"$python" -m pytest -q -p no:cacheprovider --capture=sys "$@" 2>&1 1>&3 3>&- |
  sed -u 's/^\(==[0-9]*==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]* bytes\)$/\1 (expected: a test asks for an impossible size on purpose)/' >&2
exit "${PIPESTATUS[0]}"
