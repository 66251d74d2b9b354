"""Builds the test-only `probe` extension from tests/probe/probe.cpp and the
core's loader and significance sources."""
import importlib.util
import os
import shutil
import subprocess
import sysconfig

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(HERE, os.pardir, os.pardir, "src", "core")
SOURCES = [os.path.join(HERE, "probe.cpp")] + [
    os.path.join(SRC, name) for name in ("data.cpp", "common.cpp", "binomial_significance.cpp")]
_cache = {}


def build_probe(tmp_path_factory, optimize="-O1"):
    """The probe module, compiled once per optimisation level into a folder
    from `tmp_path_factory.mktemp`."""
    if optimize in _cache:
        return _cache[optimize]
    if shutil.which("g++") is None:
        pytest.skip("g++ is not available to build the probe extension")
    out = tmp_path_factory.mktemp("probe")
    flags = [optimize, "-std=c++17", "-fPIC", "-DTESSARIN_MODULE=probe",
             "-DNPY_NO_DEPRECATED_API=NPY_1_7_API_VERSION",
             "-I" + sysconfig.get_paths()["include"], "-I" + np.get_include(), "-I" + SRC]
    # Under scripts/sanitize.sh the probe is instrumented like the modules.
    flags += os.environ.get("TESSARIN_SANITIZER_FLAGS", "").split()
    objects = [str(out / (os.path.basename(s) + ".o")) for s in SOURCES]
    jobs = [subprocess.Popen(["g++", *flags, "-c", s, "-o", o], stderr=subprocess.PIPE, text=True)
            for s, o in zip(SOURCES, objects)]
    errors = [job.communicate()[1] for job in jobs]
    assert not any(job.returncode for job in jobs), "\n".join(errors)
    target = str(out / ("probe" + sysconfig.get_config_var("EXT_SUFFIX")))
    subprocess.run(["g++", "-shared", *flags, *objects, "-o", target, "-lpthread"], check=True)
    spec = importlib.util.spec_from_file_location("probe", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    _cache[optimize] = module
    return module


def labellings(probe, *args, **kwargs):
    """(counts_x, counts_y, size_x, size_y) with the tables as (n, samples) arrays."""
    n, samples, size_x, size_y, cx, cy = probe.labellings(*args, **kwargs)
    shape = (n, samples)
    return (np.frombuffer(cx, np.uint32).reshape(shape).astype(np.int64),
            np.frombuffer(cy, np.uint32).reshape(shape).astype(np.int64), size_x, size_y)
