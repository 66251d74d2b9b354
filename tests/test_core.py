"""The seam between the C++ core and the extension module: the core builds
without the interpreter's headers, and a C++ program that uses it through its
API alone gives what the module gives."""
import glob
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import oracle
import tessarin

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
CORE = os.path.join(ROOT, "src", "core")
EXAMPLE = os.path.join(os.path.dirname(tessarin.__file__), "_examples", "two_samples")


def without_preload():
    """The environment for tools (the compiler, ldd) that must run without the
    sanitizer runtimes a sanitizer run preloads into the tests' processes."""
    return {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}


def splitmix_uniform(state, count):
    """The example program's generator: SplitMix64 turned into doubles in [0, 1)."""
    out = np.empty(count)
    mask = 2**64 - 1
    for k in range(count):
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        z ^= z >> 31
        out[k] = (z >> 11) * 2.0**-53
    return state, out


class TestCoreWithoutPython:
    def test_no_core_file_includes_the_interpreter_or_numpy(self):
        sources = glob.glob(os.path.join(CORE, "**", "*.[ch]*"), recursive=True)
        assert sources
        for path in sources:
            with open(path, encoding="utf-8") as f:
                text = f.read()
            assert "Python.h" not in text and "numpy/" not in text, path

    def test_every_core_file_compiles_without_python_include_paths(self):
        if shutil.which("g++") is None:
            pytest.skip("g++ is not available")
        sources = sorted(glob.glob(os.path.join(CORE, "**", "*.cpp"), recursive=True))
        sources.append(os.path.join(ROOT, "examples", "two_samples.cpp"))
        jobs = [subprocess.Popen(["g++", "-std=c++17", "-fsyntax-only", "-Wall", "-Wextra", "-Werror", "-I", CORE,
                                  path], stderr=subprocess.PIPE, text=True, env=without_preload()) for path in sources]
        failures = {path: job.communicate()[1] for path, job in zip(sources, jobs) if job.wait() != 0}
        assert not failures, failures


class TestExampleProgram:
    @pytest.fixture
    def example(self):
        if not os.path.exists(EXAMPLE):
            pytest.skip("the example program is built with the test-only builds (scripts/setup.sh makes them)")
        return EXAMPLE

    @pytest.mark.parametrize("n_x,n_y,d,permutations,seed", [(200, 150, 2, 99, 1), (40, 30, 5, 19, 7),
                                                               (25, 35, 1, 0, 1)])
    def test_gives_what_the_module_gives(self, example, n_x, n_y, d, permutations, seed):
        run = subprocess.run([example, str(n_x), str(n_y), str(d), str(permutations), str(seed)],
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        printed = dict(line.split(" ", 1) for line in run.stdout.splitlines())
        state, x = splitmix_uniform(42, n_x * d)
        _, y = splitmix_uniform(state, n_y * d)
        x, y = x.reshape(n_x, d), y.reshape(n_y, d) + 0.1
        want = tessarin.get_kernel("portable").test(x, y, permutation_samples=permutations, seed=seed,
                                                    n_jobs=2, details=True)
        assert float(printed["statistic"]) == want["statistic"] == oracle.statistic(x, y)
        assert float(printed["pvalue"]) == want["permutation_significance"]
        assert printed["scan"] == want["scan"]
        # The core counts rows over rvs followed by cdf.
        first = 0 if want["location_array"] == "rvs" else n_x
        assert int(printed["location_row"]) == first + want["location_row"]
        assert int(printed["location_orthant"]) == want["location_orthant"]

    def test_links_no_interpreter(self, example):
        if shutil.which("ldd") is None:
            pytest.skip("ldd is not available")
        libraries = subprocess.run(["ldd", example], capture_output=True, text=True, check=True,
                                   env=without_preload()).stdout
        assert "libpython" not in libraries
