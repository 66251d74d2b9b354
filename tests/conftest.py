import importlib
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))


def _cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


HAS_AVX512 = {"avx512f", "avx512vl"} <= _cpu_flags()
BUILDS = ["avx512", "portable"]


def load_build(name):
    if name == "avx512" and not HAS_AVX512:
        pytest.skip("processor lacks AVX512F/AVX512VL; the avx512 build cannot run here")
    return importlib.import_module("tessarin." + name)


@pytest.fixture(params=BUILDS)
def module(request):
    """Each compiled build of the core that this processor can run."""
    return load_build(request.param)
