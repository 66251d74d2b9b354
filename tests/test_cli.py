"""The command line on files, on the built-in example and on bad input."""
import io
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import tessarin
import tessarin.__main__ as cli


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
    ("1,2\n3\n", "line 2 has 1 values"),
    ("1,2\n3,x\n", "line 2 holds a value that is not a number"),
    ("# a comment\nx,y\n1,2\n\n3,4,5\n", "line 5 has 3 values"),
    ("\ufeffx,y\r\n1,2\r\n3,?\r\n", "line 3 holds a value"),
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


@pytest.mark.parametrize("text", ["1,2\n3,4\n5,6\n", "x,y\n1,2\n3,4\n5,6\n"], ids=["plain", "header"])
def test_byte_order_mark_and_line_ends_read_the_same(tmp_path, text):
    plain = tmp_path / "plain.csv"
    plain.write_bytes(text.encode())
    expected = cli.read_points(str(plain))
    assert expected.shape == (3, 2)
    for name, data in [("bom", b"\xef\xbb\xbf" + text.encode()),
                       ("crlf", text.replace("\n", "\r\n").encode()),
                       ("bom-crlf", b"\xef\xbb\xbf" + text.replace("\n", "\r\n").encode())]:
        path = tmp_path / (name + ".csv")
        path.write_bytes(data)
        np.testing.assert_array_equal(cli.read_points(str(path)), expected)


@pytest.mark.parametrize("error, status, message", [
    (ValueError("x contains NaN"), 2, "x contains NaN"),
    (RuntimeError("Interrupted by signal"), 130, "interrupted"),
    (KeyboardInterrupt(), 130, "interrupted"),
    (RuntimeError("out of memory error - run_workers[tasks]"), 1, "out of memory error - run_workers[tasks]"),
    (MemoryError(), 1, "out of memory"),
])
def test_exit_status_names_the_kind_of_failure(monkeypatch, capsys, error, status, message):
    def fail(*args, **kwargs):
        raise error

    monkeypatch.setattr(cli, "ks_2samp", fail)
    assert cli.main(["--example"]) == status
    out, err = capsys.readouterr()
    assert out == "" and err == f"python -m tessarin: error: {message}\n"


def test_ctrl_c_exits_with_130(tmp_path):
    rng = np.random.default_rng(1)
    for name in ("a", "b"):  # a scan of many seconds
        np.save(tmp_path / f"{name}.npy", rng.integers(0, 10**6, (100000, 3), dtype=np.int32))
    # The scan of all pairs, as the dominance counts would finish at once.
    child = subprocess.Popen([sys.executable, "-m", "tessarin", tmp_path / "a.npy", tmp_path / "b.npy"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=dict(os.environ, TESSARIN_SCAN="dense"))
    time.sleep(2)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=20)
    assert child.returncode == 130 and out == ""
    assert err == "python -m tessarin: error: interrupted\n"


class TestLargeInputs:
    """Columns by name, Parquet and Feather, and the CSV parsers: pyarrow's
    when installed, NumPy's otherwise or when comments need skipping."""

    @pytest.fixture
    def named(self, tmp_path):
        rng = np.random.default_rng(4)
        x, y = rng.normal(size=(60, 3)), rng.normal(size=(50, 3)) + 0.4
        np.savetxt(tmp_path / "x.csv", x, delimiter=",", header="a,b,c", comments="")
        np.savetxt(tmp_path / "y.csv", y, delimiter=",", header="a,b,c", comments="")
        return tmp_path, x, y

    def test_columns_by_name(self, named):
        path, x, y = named
        status, out, err = run(path / "x.csv", path / "y.csv", "--columns", "c,a", "--json")
        assert status == 0, err
        got = json.loads(out)
        expected = tessarin.ks_2samp(x[:, [2, 0]], y[:, [2, 0]])
        assert got["statistic"] == expected.statistic
        assert got["statistic_location"] == expected.statistic_location.tolist()
        assert got["statistic_orthant"] == expected.statistic_orthant.tolist()

    @pytest.mark.parametrize("make, columns, message", [
        (lambda p: np.savetxt(p / "s.csv", np.ones((3, 2)), delimiter=","), "a", "the file has no header line"),
        (lambda p: np.savetxt(p / "s.csv", np.ones((3, 2)), delimiter=",", header="a,b", comments=""), "a,q",
         "no column named 'q' (the columns are a, b)"),
        (lambda p: np.save(p / "s.npy", np.ones((3, 2))), "a", "a .npy file names none"),
    ])
    def test_columns_refusals(self, tmp_path, make, columns, message):
        make(tmp_path)
        (sample,) = [p for p in tmp_path.iterdir() if p.stem == "s"]
        status, out, err = run(sample, sample, "--columns", columns)
        assert status == 2 and out == "" and len(err.splitlines()) == 1
        assert message in err

    @pytest.mark.parametrize("suffix", [".parquet", ".feather"])
    def test_arrow_files(self, named, suffix):
        pa = pytest.importorskip("pyarrow")
        import pyarrow.feather
        import pyarrow.parquet

        path, x, y = named
        table = pa.table({"a": y[:, 0], "b": np.arange(len(y)), "c": y[:, 2]})
        write = pyarrow.parquet.write_table if suffix == ".parquet" else pyarrow.feather.write_feather
        write(table, str(path / ("y" + suffix)))
        np.testing.assert_array_equal(cli.read_points(str(path / ("y" + suffix)), "c,b"),
                                      np.column_stack([y[:, 2], np.arange(len(y))]))
        status, out, err = run(path / "x.csv", path / ("y" + suffix), "--columns", "a,c", "--json")
        assert status == 0, err
        assert json.loads(out)["statistic"] == tessarin.ks_2samp(x[:, [0, 2]], y[:, [0, 2]]).statistic
        write(pa.table({"a": ["u", "v"]}), str(path / ("bad" + suffix)))
        status, _, err = run(path / ("bad" + suffix), path / "x.csv")
        assert status == 2 and "column 'a' holds string, not numbers" in err

    def test_arrow_files_without_pyarrow(self, tmp_path, monkeypatch, capsys):
        monkeypatch.setitem(sys.modules, "pyarrow", None)
        (tmp_path / "y.parquet").write_bytes(b"PAR1")
        assert cli.main([str(tmp_path / "y.parquet"), str(tmp_path / "y.parquet")]) == 2
        assert "reading Parquet files needs pyarrow (pip install pyarrow)" in capsys.readouterr().err

    @pytest.mark.parametrize("pyarrow", ["installed", "missing"])
    def test_both_csv_parsers_read_the_same(self, tmp_path, monkeypatch, pyarrow):
        if pyarrow == "installed":
            pytest.importorskip("pyarrow")
        else:
            monkeypatch.setitem(sys.modules, "pyarrow", None)
        rng = np.random.default_rng(5)
        points = rng.normal(size=(500, 3)) * 10.0 ** rng.integers(-30, 30, (500, 3))
        text = "p,q,r\r\n" + "".join(",".join(repr(float(v)) for v in row) + "\r\n" for row in points)
        (tmp_path / "s.csv").write_bytes(b"\xef\xbb\xbf" + text.encode())
        np.testing.assert_array_equal(cli.read_points(str(tmp_path / "s.csv")), points)
        (tmp_path / "c.csv").write_text("# comment\n\n" + text.replace("\r\n", "\n"))
        np.testing.assert_array_equal(cli.read_points(str(tmp_path / "c.csv"), "r"), points[:, [2]])
        # Errors still name the file's own line.
        (tmp_path / "e.csv").write_text(text.replace("\r\n", "\n") + "1,2,x\n")
        with pytest.raises(cli.UsageError, match="line 502 holds a value that is not a number"):
            cli.read_points(str(tmp_path / "e.csv"))


class TestPlotAndProgress:
    def test_plot_file(self, sample_files):
        pytest.importorskip("matplotlib")
        path, x, y = sample_files
        status, out, err = run(path / "x.csv", path / "y.npy", "--n-resamples", 19, "--seed", 2,
                               "--plot", path / "d.png")
        assert status == 0 and err == ""
        assert "n_permutations: 19" in out and (path / "d.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_plot_without_matplotlib(self, monkeypatch, capsys, tmp_path):
        monkeypatch.setitem(sys.modules, "matplotlib", None)
        assert cli.main(["--example", "--plot", str(tmp_path / "d.png")]) == 2
        assert capsys.readouterr().err == "python -m tessarin: error: --plot needs matplotlib (pip install matplotlib)\n"
        assert not (tmp_path / "d.png").exists()

    def test_progress_on_a_terminal(self, monkeypatch):
        from tessarin import _progress

        class Terminal(io.StringIO):
            def isatty(self):
                return True

        terminal = Terminal()
        monkeypatch.setattr(_progress, "DELAY", 0.0)
        monkeypatch.setenv("TESSARIN_SCAN", "dense")  # a scan of a good fraction of a second
        monkeypatch.setattr(sys, "stderr", terminal)
        out = io.StringIO()
        assert cli.main(["--example", "--permutations", "20", "--json"], out=out) == 0
        assert "100%" in terminal.getvalue().replace("\r", "\n").strip().splitlines()[-1]
        assert json.loads(out.getvalue())["n_permutations"] == 20
