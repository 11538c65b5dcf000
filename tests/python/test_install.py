"""Fresh virtual environments get a working wexo and run the main example with it:
- a regular install on the oldest CPython the package supports (and the machine has) with NumPy 1.26,
- an editable install on the newest one with the newest NumPy,
- the wheel from tools/build_wheel.sh, installed without any compiler or build tool reachable.
OpenBLAS must come from the scipy-openblas32 wheel in each venv. Slow (a build each): runs when
WEXO_INSTALL_TESTS=1, never under the sanitizers."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import zipfile

import pytest
from support import SANITIZED

ROOT = pathlib.Path(__file__).resolve().parents[2]
pytestmark = [
    pytest.mark.skipif(os.environ.get("WEXO_INSTALL_TESTS") != "1", reason="set WEXO_INSTALL_TESTS=1"),
    pytest.mark.skipif(SANITIZED, reason="builds and installs are not sanitized"),
]

MAIN_EXAMPLE = [str(ROOT / "examples" / "classify.py"), "--data", "spiral", "--epochs", "60", "--reports", "2",
                "--hidden", "16"]
# the module loads OpenBLAS itself at import, so the process's mappings say which file it found
REPORT = ("import sys, numpy, wexo; maps = open('/proc/self/maps').read().split()\n"
          "blas = sorted({p for p in maps if p.endswith('/libscipy_openblas.so')})\n"
          "print('%d.%d' % sys.version_info[:2], numpy.__version__, wexo.__file__, *blas, sep='\\n')")


def classifier_versions():
    text = (ROOT / "pyproject.toml").read_text()
    return sorted({tuple(map(int, v.split("."))) for v in
                   re.findall(r'"Programming Language :: Python :: (3\.\d+)"', text)})


def interpreter(version):
    """The machine's interpreter for a major.minor version, on PATH or among pyenv's versions, or None."""
    name = "python%d.%d" % version
    pyenv_root = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
    # pyenv's shims answer only for the selected versions; its installs are found directly
    installed = sorted(pyenv_root.glob(f"versions/{name[6:]}.*/bin/{name}"),
                       key=lambda p: [int(part) for part in p.parts[-3].split(".") if part.isdigit()])
    for exe in [shutil.which(name), *map(str, reversed(installed))]:
        if exe is None:
            continue
        ok = subprocess.run([exe, "-c", "import sys, venv; print(sys.version_info[:2])"], capture_output=True,
                            text=True)
        if ok.returncode == 0 and ok.stdout.strip() == str(version):
            return exe
    return None


def supported_interpreters():
    found = [(v, exe) for v in classifier_versions() if (exe := interpreter(v))]
    assert found, "no interpreter for the versions pyproject.toml claims"
    return found


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH", "PYTHONHOME")}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", CMAKE_BUILD_PARALLEL_LEVEL="2", OPENBLAS_NUM_THREADS="1")
    env.update(extra)
    return env


def make_venv(base_python, venv):
    subprocess.run([base_python, "-m", "venv", str(venv)], check=True)
    return str(venv / "bin" / "python")


def pip(py, *args, env):
    subprocess.run([py, "-m", "pip", "install", "-q", *args], check=True, env=env)


def run_main_example(py, venv, tmp_path, env):
    """The main example runs quickly, leaves nothing behind, and its module finds OpenBLAS in the venv."""
    cwd, tmp = tmp_path / "cwd", tmp_path / "tmp"
    cwd.mkdir()
    tmp.mkdir()
    env = dict(env, TMPDIR=str(tmp))
    res = subprocess.run([py, *MAIN_EXAMPLE], capture_output=True, text=True, env=env, cwd=cwd)
    assert res.returncode == 0, res.stdout + res.stderr
    lines = res.stdout.splitlines()
    assert lines[0] == "training on 240 samples of spiral (2 features, 3 classes)"
    assert lines[1].startswith("epoch:   30, ") and lines[-1].startswith("Validation accuracy ")
    assert list(cwd.iterdir()) == list(tmp.iterdir()) == []

    python_version, numpy_version, so, *blas = subprocess.run([py, "-c", REPORT], capture_output=True, text=True,
                                                              env=env, cwd=cwd, check=True).stdout.splitlines()
    assert so.startswith(str(venv))
    # the venv's scipy_openblas32 library (NumPy's own copy has another file name)
    assert len(blas) == 1 and blas[0].startswith(str(venv)) and "scipy_openblas32" in blas[0], blas
    return python_version, numpy_version


def test_regular_install_on_the_oldest_python_with_numpy_1_26(tmp_path):
    (version, base), = supported_interpreters()[:1]
    venv = tmp_path / "venv"
    py = make_venv(base, venv)
    env = clean_env()
    pip(py, "numpy==1.26.*", env=env)
    pip(py, "--config-settings", f"build-dir={tmp_path / 'build'}", str(ROOT), env=env)
    python_version, numpy_version = run_main_example(py, venv, tmp_path, env)
    assert python_version == "%d.%d" % version and numpy_version.startswith("1.26.")


def test_editable_install_on_the_newest_python_with_the_newest_numpy(tmp_path):
    (version, base), = supported_interpreters()[-1:]
    venv = tmp_path / "venv"
    py = make_venv(base, venv)
    env = clean_env()
    pip(py, "--config-settings", f"build-dir={tmp_path / 'build'}", "-e", str(ROOT), env=env)
    python_version, numpy_version = run_main_example(py, venv, tmp_path, env)
    # nothing pinned: pip takes the newest NumPy for this interpreter
    assert python_version == "%d.%d" % version and int(numpy_version.split(".")[0]) >= 2


def test_wheel_installs_and_runs_without_a_compiler(tmp_path):
    dist = tmp_path / "dist"
    subprocess.run(["bash", str(ROOT / "tools" / "build_wheel.sh"), str(dist)], check=True,
                   env=clean_env(WEXO_WHEEL_PYTHON=sys.executable))
    wheel, = dist.glob("wexo-*.whl")
    assert re.fullmatch(r"wexo-[^-]+-cp3\d+-cp3\d+-(manylinux_2_\d+_x86_64\.?)+\.whl", wheel.name), wheel.name
    assert not [n for n in zipfile.ZipFile(wheel).namelist() if "openblas" in n.lower()]

    venv = tmp_path / "venv"
    py = make_venv(sys.executable, venv)
    # Only the venv's own scripts on PATH, and the compiler variables name a program that always fails.
    env = clean_env(PATH=str(venv / "bin"), CC="/bin/false", CXX="/bin/false")
    for tool in ("cc", "c++", "gcc", "g++", "clang++", "cmake", "ninja"):
        assert shutil.which(tool, path=env["PATH"]) is None, tool
    pip(py, "--only-binary", ":all:", str(wheel), env=env)
    run_main_example(py, venv, tmp_path, env)
