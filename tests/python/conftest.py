"""Shared fixtures: the abort exception type, fresh interpreters, and small models."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import wexo


def _abort_type():
    # The type is not reachable by name; the cheapest abort is a print_freq of 0 on a model without layers.
    empty = np.zeros((0, 0), np.float32)
    try:
        wexo.train_linear_model(wexo.create_linear_model("linear", ""), wexo.create_optimizer("sgd", 0.1, 0.0),
                                1, 0, empty, np.zeros(0, np.float32), empty, np.zeros(0, np.float32))
    except BaseException as e:  # noqa: B036
        return type(e)
    raise AssertionError("print_freq 0 did not abort")


@pytest.fixture(scope="session")
def panic():
    """pyo3_runtime.PanicException, the abort exception."""
    return _abort_type()


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter (the one running the tests); returns the CompletedProcess."""

    def run(code, env=None, timeout=120):
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              env=os.environ.copy() if env is None else env, timeout=timeout)

    return run


@pytest.fixture
def linear():
    return wexo.create_linear_model("linear", "")


@pytest.fixture
def categorical():
    return wexo.create_categorical_model("softmax", "")


@pytest.fixture
def optimizer():
    return wexo.create_optimizer("adam", 0.01, 0.0)
