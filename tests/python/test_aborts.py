"""Aborts: the PanicException type, the stderr diagnostic, and where training and evaluation stop."""
import pathlib
import re

import numpy as np
import pytest

import oracle
import wexo
from support import EMPTY_X, KINDS, SANITIZED, dense_model, f32, i32, sgd


def divide_by_zero():
    wexo.train_linear_model(wexo.create_linear_model("linear", ""), sgd(), 10, 0,
                            EMPTY_X, np.zeros(0, f32), EMPTY_X, np.zeros(0, f32))


def test_the_abort_exception_derives_directly_from_base_exception(panic):
    assert (panic.__name__, panic.__qualname__, panic.__module__) == ("PanicException", "PanicException",
                                                                      "pyo3_runtime")
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert not hasattr(wexo, "PanicException")


def test_a_handler_for_exception_does_not_catch_an_abort(panic):
    caught = None
    try:
        try:
            divide_by_zero()
        except Exception:  # noqa: BLE001
            caught = "Exception"
    except BaseException as e:  # noqa: B036
        caught = e
    assert type(caught) is panic
    assert caught.args == ("attempt to divide by zero",)
    assert str(caught) == "attempt to divide by zero"


def test_every_abort_raises_the_same_type(panic, linear):
    m = wexo.add_linear_model_layer(linear, 2, 1, "dense")
    with pytest.raises(BaseException) as info:
        wexo.evaluate_linear_model(m, np.ones((3, 2), f32), np.ones(3, f32))
    assert type(info.value) is panic


def test_a_diagnostic_line_goes_to_stderr_first(capfd, panic):
    capfd.readouterr()
    with pytest.raises(panic):
        divide_by_zero()
    out, err = capfd.readouterr()
    assert out == ""
    assert re.fullmatch(r"wexo: aborted at src/[\w/]+\.(cpp|h):\d+: attempt to divide by zero\n", err), err


def test_the_module_keeps_working_after_an_abort(panic, capfd):
    for _ in range(3):
        with pytest.raises(panic):
            divide_by_zero()
    m = wexo.add_linear_model_layer(wexo.create_linear_model("linear", ""), 1, 1, "dense")
    assert type(m).__name__ == "LinearModel"


@pytest.mark.parametrize("kind", ["linear", "categorical"])
def test_print_freq_zero_aborts_before_anything_is_printed_or_written(tmp_path, capfd, panic, kind):
    path = tmp_path / "best.json"
    labels = np.zeros(3, KINDS[kind].label)
    x = np.ones((3, 1), f32)
    m = dense_model(kind, 1, 1 if kind == "linear" else 2, path)
    capfd.readouterr()
    with pytest.raises(panic) as info:
        KINDS[kind].train(m, sgd(), 5, 0, x, labels, x, labels)
    assert info.value.args == ("attempt to divide by zero",)
    assert capfd.readouterr().out == ""
    assert not path.exists()


def test_argument_errors_come_before_the_print_freq_abort():
    with pytest.raises(TypeError, match="^argument 'val_y': "):
        wexo.train_linear_model(wexo.create_linear_model("linear", ""), sgd(), 10, 0,
                                EMPTY_X, np.zeros(0, f32), EMPTY_X, np.zeros(0, np.float64))


def test_layers_are_initialised_before_the_print_freq_check(panic):
    # 2**32 x 2**32 weights cannot even be counted: the layer's abort comes first
    m = wexo.add_linear_model_layer(wexo.create_linear_model("linear", ""), 2**32, 2**32, "dense")
    with pytest.raises(panic) as info:
        wexo.train_linear_model(m, sgd(), 10, 0, EMPTY_X, np.zeros(0, f32), EMPTY_X, np.zeros(0, f32))
    assert info.value.args != ("attempt to divide by zero",)


def overcommit_always():
    try:
        return pathlib.Path("/proc/sys/vm/overcommit_memory").read_text().strip() == "1"
    except OSError:
        return True


@pytest.mark.skipif(overcommit_always(), reason="the kernel would grant the allocation and then run out")
@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer ends the process on a failed new")
def test_an_impossible_allocation_during_init_aborts(panic, capfd):
    # 2**20 x 2**20 floats is 4 TiB
    m = wexo.add_categorical_model_layer(wexo.create_categorical_model("softmax", ""), 2**20, 2**20, "dense")
    with pytest.raises(panic) as info:
        wexo.train_categorical_model(m, sgd(), 1, 1, EMPTY_X, np.zeros(0, i32), EMPTY_X, np.zeros(0, i32))
    assert info.value.args == ("memory allocation failed",)
    assert capfd.readouterr().err == "wexo: aborted: memory allocation failed\n"


def test_a_size_beyond_the_address_space_aborts(panic):
    # 2**31 x 2**31 elements: the count fits in 64 bits, the bytes do not
    m = wexo.add_linear_model_layer(wexo.create_linear_model("linear", ""), 2**31, 2**31, "dense")
    with pytest.raises(panic) as info:
        wexo.train_linear_model(m, sgd(), 1, 1, EMPTY_X, np.zeros(0, f32), EMPTY_X, np.zeros(0, f32))
    assert len(info.value.args) == 1 and info.value.args[0]


@pytest.mark.parametrize("kind", ["linear", "categorical"])
def test_evaluating_a_built_model_aborts_on_its_empty_weights(capfd, panic, kind):
    x = np.ones((3, 2), f32)
    m = dense_model(kind, 2, 1 if kind == "linear" else 2)
    y = np.ones(3, f32) if kind == "linear" else np.zeros(3, i32)
    capfd.readouterr()
    with pytest.raises(panic):
        KINDS[kind].evaluate(m, x, y)
    out, err = capfd.readouterr()
    assert out == ""
    assert err.startswith("wexo: aborted") and err.count("\n") == 1


@pytest.mark.parametrize("load", [wexo.load_linear_model, wexo.load_categorical_model])
def test_loading_a_missing_file_aborts(tmp_path, panic, load):
    with pytest.raises(panic):
        load(str(tmp_path / "missing.json"))


def test_numpy_that_cannot_be_imported_aborts_the_call(run_python):
    r = run_python("""
        import sys
        import wexo
        m = wexo.create_linear_model("linear", "")
        sys.modules["numpy"] = None  # blocks every import of numpy
        for _ in range(2):  # and stays an abort, not a crash, on the next call
            try:
                wexo.evaluate_linear_model(m, [], [])
            except BaseException as e:
                print(type(e).__module__, type(e).__name__, isinstance(e, Exception))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["pyo3_runtime PanicException False"] * 2
    assert r.stderr.startswith("wexo: aborted at src/python/arrays.cpp:")


# ---- messages that name what the user passed and what the model expects

def classifier(*layers):
    m = wexo.create_categorical_model("softmax", "")
    for n_inputs, n_neurons, layer_type in layers:
        m = wexo.add_categorical_model_layer(m, n_inputs, n_neurons, layer_type)
    return m


X12 = np.linspace(-1, 1, 24, dtype=f32).reshape(12, 2)
Y12 = (np.arange(12) % 3).astype(i32)
DENSE_2_3 = (2, 3, "dense")


def with_label(y, i, value):
    y = y.copy()
    y[i] = value
    return y


# case: (model layers, x, y, val_x, val_y, message, progress lines printed before the abort)
TRAINING_CASES = {
    "labels_short": ([DENSE_2_3], X12, Y12[:10], None, None, "y has 10 entries for the 12 rows of x", 0),
    "labels_long": ([DENSE_2_3], X12, np.r_[Y12, Y12[:2]], None, None, "y has 14 entries for the 12 rows of x", 0),
    "class_too_big": ([DENSE_2_3], X12, with_label(Y12, 5, 3), None, None,
                      "y[5] = 3 is not a class index of the model's 3 output columns (0 to 2)", 0),
    "class_negative": ([DENSE_2_3], X12, with_label(Y12, 7, -1), None, None,
                       "y[7] = -1 is not a class index of the model's 3 output columns (0 to 2)", 0),
    "x_columns": ([DENSE_2_3], np.ones((12, 3), f32), Y12, None, None,
                  "x has 3 columns, but layer 1 (dense) takes 2 inputs", 0),
    "after_dropout": ([(None, None, "dropout"), DENSE_2_3], np.ones((12, 3), f32), Y12, None, None,
                      "x has 3 columns, but layer 2 (dense) takes 2 inputs", 0),
    "not_chained": ([(2, 4, "dense"), (5, 3, "dense")], X12, Y12, None, None,
                    "layer 1 (dense) gives 4 outputs, but layer 2 (dense) takes 5 inputs", 0),
    "unknown_layer_type": ([(2, 3, "Dense"), DENSE_2_3], X12, Y12, None, None,
                           'layer 1 ("Dense") passes nothing on (only "dense" and "dropout" layers do), '
                           "but layer 2 (dense) takes 2 inputs", 0),
    "no_layers": ([], X12, Y12, None, None,
                  "y[2] = 2 is not a class index of the model's 2 output columns (0 to 1): "
                  "a model without layers outputs x as it is", 0),
    # validation runs after the epoch's progress line, which stays
    "val_labels_short": ([DENSE_2_3], X12, Y12, X12[:4], Y12[:3], "val_y has 3 entries for the 4 rows of val_x", 1),
    "val_columns": ([DENSE_2_3], X12, Y12, np.ones((4, 3), f32), Y12[:4],
                    "val_x has 3 columns, but layer 1 (dense) takes 2 inputs", 1),
    "val_class": ([DENSE_2_3], X12, Y12, X12[:4], with_label(Y12[:4], 1, 9),
                  "val_y[1] = 9 is not a class index of the model's 3 output columns (0 to 2)", 1),
}


@pytest.mark.parametrize("case", TRAINING_CASES)
def test_training_aborts_name_the_arrays_that_do_not_fit(capfd, panic, case):
    layers, x, y, val_x, val_y, message, n_lines = TRAINING_CASES[case]
    val_x = EMPTY_X if val_x is None else val_x
    val_y = np.zeros(0, i32) if val_y is None else val_y
    capfd.readouterr()
    with pytest.raises(panic) as info:
        wexo.train_categorical_model(classifier(*layers), sgd(), 3, 3, x, y, val_x, val_y)
    assert info.value.args == (message,)
    out, err = capfd.readouterr()
    assert len(out.splitlines()) == n_lines
    assert err.endswith(": " + message + "\n")


@pytest.mark.parametrize("output_type, y, message", [
    ("linear", np.ones(2, f32), "y has 2 entries for the 3 rows of x"),
    ("Linear", np.ones(3, f32),
     'no predictions to compare with y: output_type "Linear" predicts nothing (the linear model predicts with "linear")'),
])
def test_linear_training_aborts_name_the_arrays(capfd, panic, output_type, y, message):
    m = wexo.add_linear_model_layer(wexo.create_linear_model(output_type, ""), 2, 1, "dense")
    x = np.ones((3, 2), f32)
    with pytest.raises(panic) as info:
        wexo.train_linear_model(m, sgd(), 3, 3, x, y, EMPTY_X, np.zeros(0, f32))
    assert info.value.args == (message,)
    assert capfd.readouterr().out == ""


def test_evaluating_a_model_never_trained_or_loaded_says_so(capfd, panic):
    m = wexo.add_categorical_model_layer(wexo.create_categorical_model("softmax", ""), 2, 2, "dense")
    with pytest.raises(panic) as info:
        wexo.evaluate_categorical_model(m, np.ones((3, 2), f32), np.zeros(3, i32))
    assert info.value.args == ("layer 1 (dense) has no weights: the model was never trained or loaded "
                               "(only a model returned by a load function holds trained weights)",)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("val_y, message, n_lines", [
    (np.array([0, 1], i32), "val_y has 2 entries for the 3 rows of val_x", 2),
    (np.array([0, 7, 1], i32), "val_y[1] = 7 is not a class index of the model's 2 output columns (0 to 1)", 1),
])
def test_evaluation_aborts_after_the_lines_of_earlier_samples(tmp_path, capfd, panic, val_y, message, n_lines):
    path = oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=[[1.0, 0.0], [0.0, 1.0]], biases=[0, 0])])
    m = wexo.load_categorical_model(str(path))
    capfd.readouterr()
    with pytest.raises(panic) as info:
        wexo.evaluate_categorical_model(m, np.ones((3, 2), f32), val_y)
    assert info.value.args == (message,)
    assert len(capfd.readouterr().out.splitlines()) == n_lines
