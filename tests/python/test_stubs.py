"""The installed type stubs let mypy check a typed script, and catch the usual mistakes in one."""
import os
import subprocess
import sys

import pytest

import wexo

pytest.importorskip("mypy")

GOOD = '''
import numpy as np
import wexo

model: wexo.CategoricalModel = wexo.create_categorical_model("softmax", "best.json")
model = wexo.add_categorical_model_layer(model, 2, 8, "dense", "relu")
model = wexo.add_categorical_model_layer(model, n_inputs=8, n_neurons=3, layer_type="dense")
opt: wexo.DynamicOptimizer = wexo.create_optimizer("adam", 0.01, 0)
x = np.zeros((4, 2), np.float32)
y = np.zeros(4, np.int32)
wexo.train_categorical_model(model, opt, 10, 2, x, y, x, y)
best = wexo.load_categorical_model("best.json")
wexo.evaluate_categorical_model(best, x, y)
linear = wexo.add_linear_model_layer(wexo.create_linear_model("linear", ""), 1, 1, "dense")
'''

BAD = '''
import wexo

model = wexo.create_linear_model("linear", "")
wexo.add_categorical_model_layer(model, 2, 8)
wexo.create_optimizer(1, 0.01, 0)
'''


def run_mypy(tmp_path, source):
    script = tmp_path / "script.py"
    script.write_text(source)
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                           str(script)], capture_output=True, text=True, env=env, cwd=tmp_path)


def test_stubs_are_installed_beside_the_module_and_as_a_stub_package():
    site = os.path.dirname(wexo.__file__)
    stub = open(os.path.join(site, "wexo.pyi")).read()
    assert open(os.path.join(site, "wexo-stubs", "__init__.pyi")).read() == stub


def test_typed_script_checks_clean(tmp_path):
    r = run_mypy(tmp_path, GOOD)
    assert r.returncode == 0, r.stdout + r.stderr


def test_mistakes_are_reported(tmp_path):
    r = run_mypy(tmp_path, BAD)
    assert r.returncode == 1
    assert 'Argument 1 to "add_categorical_model_layer" has incompatible type "LinearModel"' in r.stdout
    assert 'Argument 1 to "create_optimizer" has incompatible type "int"' in r.stdout
