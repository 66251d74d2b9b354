#!/usr/bin/env bash
# Builds the modules with sanitizers into a scratch folder and runs the test
# suite (or the pytest arguments given) against that build. Run
# scripts/setup.sh once first.
#   bash scripts/sanitize.sh                    AddressSanitizer + UndefinedBehaviorSanitizer
#   SANITIZER=thread bash scripts/sanitize.sh   ThreadSanitizer
#   SANITIZER=none bash scripts/sanitize.sh     no instrumentation: a scratch build of
#                                               this tree, tested without installing it
# The whole suite passes under both sanitizers; on two cores the address run
# takes about a quarter of an hour and the thread run half an hour or more, so
# narrow it with pytest's -x, -k or single files while working. The first
# report stops the run (and a subprocess's report fails the test that started
# it). TESSARIN_SANITIZER=address|thread tells the tests which one is on:
# their latency bounds and signal delays are stretched by one slowdown factor
# (slowed() in tests/conftest.py), and the few tests a sanitizer itself breaks
# are skipped under it with the reason. Under ThreadSanitizer the prebuilt
# third-party libraries' reports are suppressed by library in
# scripts/tsan.supp; tessarin's own code, the modules and the test probe,
# is instrumented and checked in full.
set -euo pipefail
cd "$(dirname "$0")/.."
# The interpreter itself, not a wrapper script: the sanitizer runtimes are
# preloaded into every process started from here on.
PYTHON=$("${PYTHON:-python3}" -c "import sys; print(sys.executable)")
SANITIZER=${SANITIZER:-address}
work=${TMPDIR:-/tmp}/tessarin-sanitize-$SANITIZER
rm -rf "$work"
case "$SANITIZER" in
  address)
    flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
    preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
    # The interpreter keeps objects alive until exit by design; leaks are
    # checked with valgrind instead. Allocation failures must come back as null
    # so the out-of-memory paths are exercised, not turned into aborts.
    export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ;;
  thread)
    flags="-fsanitize=thread"
    preload="$(gcc -print-file-name=libtsan.so)"
    # Reports from the prebuilt libraries the tests load are suppressed by
    # library (scripts/tsan.supp); tessarin's own code is checked in full.
    export TSAN_OPTIONS=halt_on_error=1:allocator_may_return_null=1:suppressions=$PWD/scripts/tsan.supp
    # pyarrow's private jemalloc locks every mutex of every arena before a
    # fork, more locks at once than ThreadSanitizer's lock-order checker can
    # hold (64), which stops the process; one arena stays below that.
    export JE_ARROW_MALLOC_CONF=narenas:1 ;;
  none)
    flags=""
    preload="" ;;
  *) echo "SANITIZER must be address, thread or none" >&2; exit 2 ;;
esac
emulated=OFF
if [ -f /usr/include/simde/x86/avx512.h ]; then emulated=ON; fi
cmake -S . -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARIN_EMULATED_BUILDS=$emulated -DTESSARIN_PROBE=ON \
  -DPython_EXECUTABLE="$PYTHON" -DTESSARIN_EXTRA_FLAGS="$flags -fno-omit-frame-pointer -g" >/dev/null
cmake --build "$work/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
cmake --install "$work/build" --prefix "$work/site" >/dev/null
cp python/tessarin/*.py python/tessarin/*.json "$work/site/tessarin/"

export PYTHONPATH="$work/site"
# The tests widen their latency bounds under a sanitizer (tests/conftest.py);
# the probe and the example program are built above with the same flags.
[ -z "$flags" ] || export TESSARIN_SANITIZER=$SANITIZER
[ -z "$preload" ] || export LD_PRELOAD="$preload"
"$PYTHON" -c "import tessarin, sys; assert tessarin.__file__.startswith('$work'), tessarin.__file__"
[ $# -gt 0 ] || set -- tests
exec "$PYTHON" -m pytest -q -p no:cacheprovider "$@"
