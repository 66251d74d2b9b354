#!/usr/bin/env bash
# Builds the modules with AddressSanitizer and UndefinedBehaviorSanitizer into a
# scratch folder and runs the test suite (or the pytest arguments given)
# against that build. Run scripts/setup.sh once first.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
work=${TMPDIR:-/tmp}/tessarin-sanitize
rm -rf "$work"
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
cmake -S . -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" -DTESSARIN_EXTRA_FLAGS="$flags" >/dev/null
cmake --build "$work/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
cmake --install "$work/build" --prefix "$work/site" >/dev/null
cp python/tessarin/*.py "$work/site/tessarin/"

export PYTHONPATH="$work/site"
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
# The interpreter keeps objects alive until exit by design; leaks are checked
# with valgrind instead. Allocation failures must come back as null so the
# out-of-memory paths are exercised, not turned into aborts.
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$PYTHON" -c "import tessarin, sys; assert tessarin.__file__.startswith('$work'), tessarin.__file__"
[ $# -gt 0 ] || set -- tests
exec "$PYTHON" -m pytest -q -p no:cacheprovider "$@"
