"""The command line on files, on the built-in example and on bad input."""
import json
import subprocess
import sys

import numpy as np
import pytest

import tessarin


def run(*args):
    result = subprocess.run([sys.executable, "-m", "tessarin", *map(str, args)],
                            capture_output=True, text=True)
    return result.returncode, result.stdout, result.stderr


@pytest.fixture
def sample_files(tmp_path):
    rng = np.random.default_rng(0)
    x, y = rng.normal(size=(80, 2)), rng.normal(size=(70, 2)) + 0.3
    np.savetxt(tmp_path / "x.csv", x, delimiter=",", header="a,b", comments="")
    np.save(tmp_path / "y.npy", y)
    return tmp_path, x, y


def test_files_and_json(sample_files):
    path, x, y = sample_files
    status, out, err = run(path / "x.csv", path / "y.npy", "--permutations", 50, "--binomial",
                           "--seed", 3, "--jobs", 2, "--json")
    assert status == 0, err
    got = json.loads(out)
    expected = tessarin.ks_2samp(np.loadtxt(path / "x.csv", delimiter=",", skiprows=1), y,
                                 permutations=50, binomial=True, seed=3)
    for field in ("statistic", "pvalue", "binomial_pvalue", "statistic_x", "n_x", "n_y"):
        assert got[field] == getattr(expected, field)


def test_example_runs():
    status, out, err = run("--example", "--permutations", 20)
    assert status == 0, err
    assert "statistic" in out and "permutation_pvalue" in out


@pytest.mark.parametrize("content, message", [
    ("1,2\n3\n", "row 2 has 1 values"),
    ("1,2\n3,x\n", "not a number"),
    ("", "no points"),
])
def test_bad_files_fail_in_one_line(tmp_path, content, message):
    bad = tmp_path / "bad.csv"
    bad.write_text(content)
    np.savetxt(tmp_path / "good.csv", np.ones((3, 2)), delimiter=",")
    status, out, err = run(bad, tmp_path / "good.csv")
    assert status == 2 and out == ""
    assert len(err.strip().splitlines()) == 1 and message in err and "bad.csv" in err


@pytest.mark.parametrize("args, message", [
    (["missing.csv", "other.csv"], "missing.csv"),
    ([], "give two sample files"),
])
def test_usage_errors(args, message):
    status, _, err = run(*args)
    assert status == 2 and message in err and "Traceback" not in err


def test_mismatched_dimensions(tmp_path):
    np.save(tmp_path / "a.npy", np.ones((4, 2)))
    np.save(tmp_path / "b.npy", np.ones((4, 3)))
    status, _, err = run(tmp_path / "a.npy", tmp_path / "b.npy")
    assert status == 2 and "same number of dimensions" in err and "Traceback" not in err
