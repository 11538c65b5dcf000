"""The developer scripts' own logic, without their long runs."""
import os
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("form", ["relative", "absolute"])
def test_the_fuzz_script_takes_a_relative_or_an_absolute_venv(tmp_path, form):
    # a relative WEXO_VENV is taken from the repository, whatever the caller's directory
    venv = "build/some-venv" if form == "relative" else str(tmp_path / "venv")
    r = subprocess.run(["bash", str(ROOT / "tools" / "fuzz.sh"), "--print-python"], cwd=tmp_path,
                       env=dict(os.environ, WEXO_VENV=venv), capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout == str(ROOT / venv / "bin" / "python") + "\n"
    assert not (tmp_path / "venv").exists()  # only shown, not made
