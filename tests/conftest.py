import importlib
import os
import sys

import pytest

import tessarin

sys.path.insert(0, os.path.dirname(__file__))

HAS_AVX512 = tessarin.avx512_supported()
BUILDS = ["avx512", "portable"]


def load_build(name):
    if name == "avx512" and not HAS_AVX512:
        pytest.skip("processor lacks AVX512F/AVX512VL; the avx512 build cannot run here")
    return importlib.import_module("tessarin." + name)


@pytest.fixture(params=BUILDS)
def module(request):
    """Each compiled build of the core that this processor can run."""
    return load_build(request.param)
