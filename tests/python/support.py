"""What the test files share: dtypes and empty arrays, the sanitizer flag, the abort check, int-like and
float-like wrappers, the functions of each model kind, small models and optimizers, and printed lines."""
import os
import re
from typing import Any, Callable, NamedTuple

import numpy as np
import pytest

import wexo

f32, i32 = np.float32, np.int32
EMPTY_X = np.zeros((0, 0), f32)
# set by tools/sanitize.sh: every call is many times slower and failed allocations end the process
SANITIZED = os.environ.get("WEXO_SANITIZED") == "1"

PROGRESS = re.compile(
    r"epoch: +\d+, acc: (NaN|-?\d+\.\d{3}), loss: (\S+) \[(\w*): (\S+), reg: (\S+)\], lr (\d+(\.\d+)?)$")
VALIDATION = re.compile(r"validation:  acc: (NaN|-?\d+\.\d{3}), loss: (\S+) \[(\w*): (\S+), reg: (\S+)\]$")


def is_abort(exc):
    """Whether exc is the abort exception (the `panic` fixture holds its type)."""
    return type(exc).__module__ == "pyo3_runtime" and type(exc).__name__ == "PanicException"


def abort_message(call):
    """The message of the abort that call raises."""
    with pytest.raises(BaseException) as info:
        call()
    assert is_abort(info.value), repr(info.value)
    return info.value.args[0]


def error(call):
    """The exception a call raises (BaseException included), or None."""
    try:
        call()
    except BaseException as e:  # noqa: B036
        return e
    return None


def printed_lines(capfd):
    """The lines printed on fd 1 since the last read; the last one is always ended."""
    out = capfd.readouterr().out
    assert out == "" or out.endswith("\n")
    return out.splitlines()


def progress_losses(lines):
    """The total loss of each progress line among lines."""
    return [float(PROGRESS.match(line).group(2)) for line in lines if line.startswith("epoch:")]


class Index:
    """Not an int, but has __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    """Not a float, but has __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Sub(np.ndarray):
    pass


class Kind(NamedTuple):
    """One model kind: its default output type, its label dtype and its six functions."""
    output_type: str
    label: Any
    create: Callable
    add: Callable
    train: Callable
    load: Callable
    evaluate: Callable


KINDS = {
    "linear": Kind("linear", f32, wexo.create_linear_model, wexo.add_linear_model_layer, wexo.train_linear_model,
                   wexo.load_linear_model, wexo.evaluate_linear_model),
    "categorical": Kind("softmax", i32, wexo.create_categorical_model, wexo.add_categorical_model_layer,
                        wexo.train_categorical_model, wexo.load_categorical_model, wexo.evaluate_categorical_model),
}


def dense_model(kind, n_inputs, n_neurons, path=""):
    """A model of the kind with one dense layer and no activation, writing its best parameters to path."""
    k = KINDS[kind]
    return k.add(k.create(k.output_type, str(path)), n_inputs, n_neurons, "dense")


def sgd(learning_rate=0.1):
    return wexo.create_optimizer("sgd", learning_rate, 0.0)
