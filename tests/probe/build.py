"""The test-only `tessarin._probe` extension (tests/probe/probe.cpp), built by
CMake with the test-only builds against the portable core."""
import importlib

import numpy as np
import pytest


def build_probe(tmp_path_factory=None):
    """The probe module, or a skip where the test-only builds were not made
    (scripts/setup.sh makes them)."""
    try:
        return importlib.import_module("tessarin._probe")
    except ImportError:
        pytest.skip("tessarin._probe is built only with the test-only builds (scripts/setup.sh makes them)")


def labellings(probe, *args, **kwargs):
    """(counts_x, counts_y, size_x, size_y) with the tables as (n, samples) arrays."""
    n, samples, size_x, size_y, cx, cy = probe.labellings(*args, **kwargs)
    shape = (n, samples)
    return (np.frombuffer(cx, np.uint32).reshape(shape).astype(np.int64),
            np.frombuffer(cy, np.uint32).reshape(shape).astype(np.int64), size_x, size_y)
