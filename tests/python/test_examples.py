"""The examples run quickly end to end in a subprocess, print what they promise, leave no files behind except
where --help says, and refuse --plot before training when matplotlib is missing."""
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import wexo

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"

QUICK = {
    "classify.py": ["--data", "spiral", "--hidden", "16"],
    "regress.py": ["--samples", "100", "--hidden", "8"],
}

NO_MATPLOTLIB = {"matplotlib.py": "raise ImportError('No module named matplotlib')\n"}

# Records how many points each curve has instead of drawing: the "PNG" holds their counts as JSON.
FAKE_MATPLOTLIB = {
    "matplotlib/__init__.py": "def use(backend):\n    pass\n",
    "matplotlib/pyplot.py": textwrap.dedent("""
        import json
        series = []

        class Axes:
            def plot(self, xs, ys, **kw):
                assert len(xs) == len(ys)
                series.append(len(xs))

            def __getattr__(self, name):
                return lambda *a, **kw: None

        class Figure(Axes):
            def savefig(self, path):
                with open(path, "w") as f:
                    json.dump(series, f)

        def subplots(rows, cols, **kw):
            return Figure(), [Axes() for _ in range(rows * cols)]
        """),
}


@pytest.fixture
def run_example(tmp_path):
    """Runs an example in an empty current folder with its own empty TMPDIR; returns (result, cwd, tmpdir)."""
    cwd, tmp = tmp_path / "cwd", tmp_path / "tmp"
    cwd.mkdir()
    tmp.mkdir()

    def run(script, *args, modules=None):
        env = dict(os.environ, TMPDIR=str(tmp), OPENBLAS_NUM_THREADS="1")
        if modules:
            shim = tmp_path / "shim"
            for name, text in modules.items():
                (shim / name).parent.mkdir(parents=True, exist_ok=True)
                (shim / name).write_text(text)
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(shim), env.get("PYTHONPATH")]))
        res = subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True, text=True,
                             cwd=cwd, env=env, timeout=300)
        return res, cwd, tmp

    return run


def files(folder):
    return sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*"))


def test_classify_prints_training_loading_and_the_report_and_leaves_nothing(run_example):
    res, cwd, tmp = run_example("classify.py", *QUICK["classify.py"], "--epochs", "60", "--reports", "3")
    assert res.returncode == 0, res.stderr
    lines = res.stdout.splitlines()
    assert lines[0] == "training on 240 samples of spiral (2 features, 3 classes)"
    assert [line.split(":")[0] for line in lines[1:7]] == ["epoch", "validation"] * 3
    assert lines[1].startswith("epoch:   20, ") and lines[5].startswith("epoch:   60, ")
    loaded = lines[7]
    assert loaded.startswith(f"best parameters loaded from {tmp}{os.sep}")
    assert loaded.endswith("; evaluating on 60 held-out samples")
    assert all(line.startswith("True: ") for line in lines[8:13])
    assert lines[13:] == ["... (55 more sample lines)", lines[-1]] and lines[-1].startswith("Validation accuracy ")
    assert files(cwd) == files(tmp) == []


def test_regress_prints_training_and_the_summary_and_leaves_nothing(run_example):
    res, cwd, tmp = run_example("regress.py", *QUICK["regress.py"], "--epochs", "60", "--reports", "3")
    assert res.returncode == 0, res.stderr
    lines = res.stdout.splitlines()
    assert [line.split(":")[0] for line in lines[:6]] == ["epoch", "validation"] * 3
    assert len(lines) == 7 and lines[6].startswith("Validation MSE: ")
    assert files(cwd) == files(tmp) == []


@pytest.mark.parametrize("script", sorted(QUICK))
def test_model_file_option_keeps_a_loadable_file_there(run_example, script):
    res, cwd, tmp = run_example(script, *QUICK[script], "--epochs", "30", "--model-file", "best.json")
    assert res.returncode == 0, res.stderr
    assert files(cwd) == ["best.json"] and files(tmp) == []
    load = wexo.load_categorical_model if script == "classify.py" else wexo.load_linear_model
    load(str(cwd / "best.json"))


@pytest.mark.parametrize("script", sorted(QUICK))
def test_plot_without_matplotlib_fails_before_training_and_says_what_to_install(run_example, script):
    res, cwd, tmp = run_example(script, *QUICK[script], "--epochs", "30", "--plot", "curve.png",
                                modules=NO_MATPLOTLIB)
    assert res.returncode != 0
    assert "pip install matplotlib" in res.stderr and "Traceback" not in res.stderr
    assert res.stdout == ""
    assert files(cwd) == files(tmp) == []


@pytest.mark.parametrize("script", sorted(QUICK))
def test_plot_draws_many_reports_and_prints_about_ten(run_example, script):
    res, cwd, tmp = run_example(script, *QUICK[script], "--epochs", "400", "--plot", "curve.png",
                                modules=FAKE_MATPLOTLIB)
    assert res.returncode == 0, res.stderr
    counts = json.loads((cwd / "curve.png").read_text())
    assert counts == [200, 200, 200]  # loss, accuracy and validation accuracy
    assert 8 <= sum(line.startswith("epoch:") for line in res.stdout.splitlines()) <= 12
    assert "training curve (200 points) written to curve.png" in res.stdout
    assert files(cwd) == ["curve.png"] and files(tmp) == []


@pytest.mark.parametrize("script", sorted(QUICK))
def test_a_run_that_writes_no_model_file_ends_with_a_message_not_a_traceback(run_example, script):
    # A single epoch never improves on the first epoch's loss, so nothing is written.
    res, cwd, tmp = run_example(script, *QUICK[script], "--epochs", "1")
    assert res.returncode == 1
    assert "no model file was written" in res.stderr and "Traceback" not in res.stderr
    assert files(cwd) == files(tmp) == []
