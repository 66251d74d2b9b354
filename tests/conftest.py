import importlib
import os
import sys

import pytest

import tessarin
from tessarin._dispatch import EMULATED, KERNELS

sys.path.insert(0, os.path.dirname(__file__))

# The sanitizer the modules were built with by scripts/sanitize.sh: "address"
# (with UndefinedBehaviorSanitizer), "thread", or "" for a normal build.
SANITIZER = os.environ.get("TESSARIN_SANITIZER", "")
# How many times slower instrumented code runs. Long calls poll for a stop
# request a fixed amount of work apart, so they notice it that much later, and
# loading their input takes that much longer too.
SLOWDOWN = {"address": 4, "thread": 15}.get(SANITIZER, 1)


def slowed(seconds):
    """A duration measured on a normal build (a latency bound, or how long
    loading takes before a signal is sent): `seconds` there, stretched by the
    slowdown of a sanitizer build."""
    return seconds * SLOWDOWN


HAS_AVX512 = tessarin.kernel_supported("avx512")
HAS_AVX2 = tessarin.kernel_supported("avx2")
# The builds the dispatch can pick, widest first, and the test-only builds:
# the AVX-512 and NEON primitives through SIMDe's portable lowering, which run
# on any processor.
BUILDS = list(KERNELS)
EMULATED = list(EMULATED)


def load_build(name):
    if name in BUILDS and not tessarin.kernel_supported(name):
        pytest.skip(f"this processor or operating system cannot run the {name} build")
    try:
        return importlib.import_module("tessarin." + name)
    except ImportError:
        if name in EMULATED:
            pytest.skip(f"{name} is built only where the SIMDe headers are (scripts/setup.sh installs them)")
        raise


# The shared cases run on every build this machine can run and on the emulated
# ones; a build the processor lacks is left out rather than skipped case by
# case (the dispatch and refusal tests still cover it).
RUNNABLE = [name for name in BUILDS if tessarin.kernel_supported(name)] + EMULATED


@pytest.fixture(params=RUNNABLE)
def module(request):
    """Each compiled build of the core that this processor can run, and the
    emulated test builds."""
    return load_build(request.param)
