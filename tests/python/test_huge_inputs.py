"""Huge sizes: layers, shapes in files, epoch counts and files far beyond what a model needs end in a result
or the abort exception, within the machine's memory, never in a crash."""
import json
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import wexo
from support import EMPTY_X, KINDS, SANITIZED, dense_model, f32, i32, sgd

SLOW = os.environ.get("WEXO_SLOW") == "1"


def array(dim, data=()):
    return {"v": 1, "dim": list(dim), "data": list(data)}


def layer(n_inputs, n_neurons, weights, biases, layer_type="dense"):
    empty2, empty1 = array([0, 0]), array([0])
    return {"layer_type": layer_type, "activation_type": "", "n_inputs": n_inputs, "n_neurons": n_neurons,
            "weights": weights, "biases": biases, "weight_regularizer_l1": 0.0, "weight_regularizer_l2": 0.0,
            "bias_regularizer_l1": 0.0, "bias_regularizer_l2": 0.0, "inputs": empty2, "activation_inputs": empty2,
            "dweights": empty2, "dbiases": empty1, "weight_momentums": empty2, "weight_cache": empty2,
            "bias_momentums": empty1, "bias_cache": empty1, "dropout_rate": 0.0, "binary_mask": empty2}


def linear_model(layers):
    return {"layers": layers, "output_type": "linear", "loss_type": "mean_squared_error", "acc_type": "linear",
            "acc_precision": 1.0, "save_best_params": ""}


@pytest.mark.parametrize("kind", ["linear", "categorical"])
@pytest.mark.parametrize("size", [2**40, 2**63, 2**64 - 1])
def test_a_square_dense_layer_beyond_memory_aborts_training(panic, kind, size):
    # size * size elements wrap around 64 bits; a wrapped count would allocate a few bytes and write far past them
    m = dense_model(kind, size, size)
    y = np.ones(2, f32) if kind == "linear" else np.zeros(2, i32)
    with pytest.raises(panic) as info:
        KINDS[kind].train(m, sgd(), 1, 1, np.ones((2, 3), f32), y, EMPTY_X, y[:0])
    assert len(info.value.args) == 1 and info.value.args[0]


def test_a_huge_layer_behind_a_small_one_aborts_before_any_epoch(panic, capfd, tmp_path):
    path = tmp_path / "best.json"
    m = wexo.create_linear_model("linear", str(path))
    m = wexo.add_linear_model_layer(m, 3, 2, "dense")
    m = wexo.add_linear_model_layer(m, 2**40, 2**40, "dense")
    capfd.readouterr()
    with pytest.raises(panic):
        wexo.train_linear_model(m, sgd(), 5, 1, np.ones((2, 3), f32), np.ones(2, f32), EMPTY_X, np.zeros(0, f32))
    assert capfd.readouterr().out == ""
    assert not path.exists()


def test_evaluating_a_huge_unloaded_layer_aborts(panic):
    m = wexo.add_linear_model_layer(wexo.create_linear_model("linear", ""), 2**40, 2**40, "dense")
    with pytest.raises(panic):
        wexo.evaluate_linear_model(m, np.ones((2, 3), f32), np.ones(2, f32))


SHAPE_MISMATCH = re.compile(r'Error\("data and dimension must match in size", line: 1, column: \d+\)$')


@pytest.mark.parametrize("dim, data", [
    ([2**63, 4], []),             # 2**65 wraps to 0
    ([2**63, 4], [1.0] * 4),
    ([2**64 - 1, 2**64 - 1], [1.0]),  # wraps to 1
    ([2**32, 2**32], []),         # wraps to 0
    ([2**63, 2], []),             # wraps to 0
])
def test_a_shape_whose_size_wraps_around_is_refused(tmp_path, panic, dim, data):
    path = tmp_path / "m.json"
    path.write_text(json.dumps(linear_model([layer(4, 1, array(dim, data), array([1], [0.0]))])))
    with pytest.raises(panic) as info:
        wexo.load_linear_model(str(path))
    assert SHAPE_MISMATCH.search(info.value.args[0]), info.value.args[0]


@pytest.mark.parametrize("field", ["biases", "dbiases", "bias_cache"])
def test_a_vector_length_beyond_memory_is_refused(tmp_path, panic, field):
    model = linear_model([layer(1, 1, array([1, 1], [0.5]), array([1], [0.0]))])
    model["layers"][0][field] = array([2**64 - 1], [])
    path = tmp_path / "m.json"
    path.write_text(json.dumps(model))
    with pytest.raises(panic) as info:
        wexo.load_linear_model(str(path))
    assert SHAPE_MISMATCH.search(info.value.args[0]), info.value.args[0]


def test_a_loaded_model_with_huge_counts_and_small_weights_aborts_in_evaluation(tmp_path, panic):
    # the counts are only stored; the weights decide the shapes, and they do not fit the data
    path = tmp_path / "m.json"
    path.write_text(json.dumps(linear_model([layer(2**64 - 1, 2**64 - 1, array([1, 1], [0.5]),
                                                   array([1], [0.0]))])))
    m = wexo.load_linear_model(str(path))
    with pytest.raises(panic):
        wexo.evaluate_linear_model(m, np.ones((2, 3), f32), np.ones(2, f32))


MAX_EPOCHS = """
    import numpy as np
    import wexo
    f32 = np.float32
    m = wexo.create_linear_model("linear", {path!r})
    m = wexo.add_linear_model_layer(m, 1, 1, "dense")
    x = np.ones((1, 1), f32)
    y = np.ones(1, f32)
    val_x = x if {validation} else np.zeros((0, 0), f32)
    # a rate of 0 keeps every loss equal to the first: the file is never written, each epoch is just the lines
    wexo.train_linear_model(m, wexo.create_optimizer("sgd", 0.0, 0.0), 65535, {print_freq}, x, y, val_x,
                            y[:len(val_x)])
"""


# print_freq is the number of progress lines: 65535 of them is one per epoch.
@pytest.mark.parametrize("print_freq, epochs_printed", [(1, [65535]), (65535, range(1, 65536)),
                                                        (3, [21845, 43690, 65535]), (40000, range(1, 65536))])
@pytest.mark.parametrize("validation", [False, True])
def test_65535_epochs_print_every_line(tmp_path, print_freq, epochs_printed, validation):
    path = tmp_path / "best.json"
    code = MAX_EPOCHS.format(path=str(path), validation=validation, print_freq=print_freq)
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    assert r.returncode == 0, r.stderr.decode()
    out = r.stdout
    assert out.endswith(b"\n")
    lines = out[:-1].split(b"\n")
    progress = lines[::2] if validation else lines
    assert [int(line[len(b"epoch:"):line.index(b",")]) for line in progress] == list(epochs_printed)
    assert all(line.startswith(b"epoch: " if n > 9999 else b"epoch: %4d, " % n)
               for n, line in zip(epochs_printed, progress))
    if validation:
        assert len(lines) == 2 * len(progress)
        assert all(line.startswith(b"validation:  acc: ") for line in lines[1::2])
    assert not path.exists()


GIGABYTE_LOAD = """
    import resource
    import sys
    import wexo
    try:
        m = wexo.{load}({path!r})
        print("loaded")
    except BaseException as e:
        print(type(e).__name__, e.args[0][-120:])
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def load_in_a_fresh_process(run_python, path):
    """What loading path as a linear model ends in, and the peak RSS of that process in KiB."""
    r = run_python(GIGABYTE_LOAD.format(load="load_linear_model", path=str(path)), timeout=1200)
    assert r.returncode == 0, r.stderr
    status, max_rss_kib = r.stdout.splitlines()
    return status, int(max_rss_kib)


def write_gigabyte_weights(path, n_rows, stated_rows):
    """A linear model whose one dense layer has n_rows x 1 weights of "0.5" (4 bytes each) and says it has
    stated_rows."""
    head = json.dumps(linear_model([layer(n_rows, 1, array([stated_rows, 1], [1.0]), array([1], [0.0]))]))
    before, after = head.split("[1.0]", 1)
    chunk = b"0.5," * (1 << 20)
    with open(path, "wb") as f:
        f.write(before.encode() + b"[")
        for _ in range((n_rows - 1) // (1 << 20)):
            f.write(chunk)
        f.write(b"0.5," * ((n_rows - 1) % (1 << 20)) + b"0.5]" + after.encode())


@pytest.mark.skipif(not SLOW, reason="writes and reads a 1 GB file; set WEXO_SLOW=1")
@pytest.mark.skipif(SANITIZED, reason="too slow under the sanitizers")
@pytest.mark.parametrize("rows_delta, outcome", [(0, "loaded"), (1, "PanicException")])
def test_a_one_gigabyte_model_file_loads_within_memory(tmp_path, run_python, rows_delta, outcome):
    n_rows = 2**28  # 1 GiB of text, 1 GiB of float32 weights once read
    path = tmp_path / "big.json"
    write_gigabyte_weights(path, n_rows, n_rows + rows_delta)  # one row more than the data: refused at its end
    assert path.stat().st_size > 2**30
    status, max_rss_kib = load_in_a_fresh_process(run_python, path)
    assert status.startswith(outcome), status
    # the weights themselves take 1 GiB; a parsed tree of a billion bytes would take many times that
    assert max_rss_kib < 6 * 2**20, f"peak RSS {max_rss_kib >> 10} MiB"


@pytest.mark.skipif(not SLOW, reason="writes and reads a 1 GB file; set WEXO_SLOW=1")
@pytest.mark.skipif(SANITIZED, reason="too slow under the sanitizers")
def test_a_gigabyte_of_trailing_whitespace_is_read_in_constant_memory(tmp_path, run_python):
    path = tmp_path / "padded.json"
    with open(path, "wb") as f:
        f.write(json.dumps(linear_model([])).encode())
        block = b" \n\t\r" * (1 << 18)
        for _ in range(1024):
            f.write(block)
    status, max_rss_kib = load_in_a_fresh_process(run_python, path)
    assert status == "loaded"
    assert max_rss_kib < 512 * 2**10, f"peak RSS {max_rss_kib >> 10} MiB"

