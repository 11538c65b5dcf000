"""Training through the public API: printed lines, the schedule, when files are written, aborts."""
import json
import os
import sys

import numpy as np
import pytest

import oracle
import wexo

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples"))
import classify  # noqa: E402
from support import (EMPTY_X, PROGRESS, VALIDATION, abort_message, dense_model, f32, is_abort,  # noqa: E402
                     printed_lines, sgd)



def simulate(kind, opt, num_epochs, interval, y, val_y, n_out):
    """Oracle run of the bias-only network; returns the expected lines and the biases of the last file write."""
    b, state, expected, best, saved = np.zeros(n_out, f32), {}, [], None, None
    counter = 0

    def evaluate(targets):
        out = np.tile(b, (len(targets), 1)).astype(f32)
        if kind == "categorical":
            out = oracle.softmax(out)
            pred = out.argmax(axis=1)
            acc = f32(np.count_nonzero(pred == targets)) / f32(len(targets))
            return out, oracle.crossentropy(out, targets), f32(acc)
        p = out[:, 0]
        acc = f32(np.count_nonzero(np.abs((targets - p).astype(f32)) <= f32(1))) / f32(len(targets))
        return out, oracle.mse(p, targets), f32(acc)

    loss_type = "categorical_crossentropy" if kind == "categorical" else "mean_squared_error"
    for epoch in range(1, num_epochs + 1):
        out, loss, acc = evaluate(y)
        if epoch == 1:
            best = loss
        counter += 1
        if counter == interval:
            expected.append(oracle.progress_line(epoch, acc, loss, f32(0), loss_type, opt.current))
            counter = interval if val_y is not None else 0
        g = oracle.crossentropy_backward(out, y) if kind == "categorical" else oracle.mse_backward(out, y)
        db = np.zeros(n_out, f32)
        for row in g:
            db = (db + row).astype(f32)
        opt.pre_update()
        b = opt.update(b, db, state)
        opt.post_update()
        if val_y is not None:
            _, vloss, vacc = evaluate(val_y)
            if counter == interval:
                expected.append(oracle.validation_line(vacc, vloss, f32(0), loss_type))
                counter = 0
        if best > loss:
            best, saved = loss, b.copy()
    return expected, saved


@pytest.mark.parametrize("kind", ["categorical", "linear"])
@pytest.mark.parametrize("opt_args", [("adam", 0.05, 0.0), ("tf_adam", 0.05, 0.01), ("sgd", 0.5, 0.001)])
@pytest.mark.parametrize("with_validation", [False, True])
def test_bias_only_training_matches_oracle(tmp_path, capfd, kind, opt_args, with_validation):
    path = str(tmp_path / "best.json")
    if kind == "categorical":
        n_out, y, val_y = 3, np.array([0, 2, 2, 1, 2], np.int32), np.array([2, 1, 0], np.int32)
        train, load = wexo.train_categorical_model, wexo.load_categorical_model
    else:
        n_out, y, val_y = 1, np.array([0.5, 2.0, 3.0, 1.5], f32), np.array([1.0, 4.0], f32)
        train, load = wexo.train_linear_model, wexo.load_linear_model
    # a dense layer with no inputs: its output is its biases, so training is deterministic
    model = dense_model(kind, 0, n_out, path)
    x = np.zeros((len(y), 0), f32)
    val_x = np.zeros((len(val_y), 0), f32) if with_validation else EMPTY_X
    train(model, wexo.create_optimizer(*opt_args), 12, 4, x, y, val_x, val_y)
    expected, saved = simulate(kind, oracle.Optimizer(*opt_args), 12, 3, y, val_y if with_validation else None, n_out)
    assert printed_lines(capfd) == expected
    assert saved is not None
    stored = json.load(open(path))["layers"][0]
    np.testing.assert_allclose(oracle.arrays_of(stored, "biases"), saved, rtol=2e-6, atol=1e-9)
    assert load(path) is not None


def spiral():
    x, y = classify.spiral(n_per_class=30)  # the example's data set, smaller
    return x.astype(f32), y.astype(np.int32)


def small_classifier(path="", dropout=None):
    m = wexo.create_categorical_model("softmax", path)
    m = wexo.add_categorical_model_layer(m, 2, 16, "dense", "relu")
    if dropout is not None:
        m = wexo.add_categorical_model_layer(m, layer_type="dropout", dropout_rate=dropout)
    return wexo.add_categorical_model_layer(m, 16, 3, "dense")


@pytest.mark.parametrize("num_epochs,print_freq,with_val,printed", [
    (10, 5, False, [2, 4, 6, 8, 10]),
    (10, 5, True, [2, 4, 6, 8, 10]),
    (10, 3, True, [3, 6, 9]),
    (5, 10, True, []),
    (0, 1, True, []),
    (7, 7, False, list(range(1, 8))),
])
def test_progress_lines_follow_the_print_interval(capfd, num_epochs, print_freq, with_val, printed):
    x, y = spiral()
    val_x, val_y = (x[::3], y[::3]) if with_val else (EMPTY_X, np.zeros(0, np.int32))
    wexo.train_categorical_model(small_classifier(), wexo.create_optimizer("adam", 0.01, 0.0),
                                 num_epochs, print_freq, x, y, val_x, val_y)
    got = printed_lines(capfd)
    epochs = [int(line.split(",")[0].split(":")[1]) for line in got if line.startswith("epoch")]
    assert epochs == printed
    for i, line in enumerate(got):
        if with_val:
            assert (PROGRESS if i % 2 == 0 else VALIDATION).match(line), line
        else:
            assert PROGRESS.match(line), line


def test_lines_show_the_decayed_rate_and_an_exact_penalty(capfd):
    x, y = spiral()
    wexo.train_categorical_model(small_classifier(), wexo.create_optimizer("adam", 0.001, 0.0002),
                                 50, 50, x, y, x, y)
    got = printed_lines(capfd)
    assert len(got) == 100
    assert got[0].endswith("], lr 0.001") and got[98].endswith("], lr 0.0009904912")
    for line in got:
        m = (PROGRESS if line.startswith("epoch") else VALIDATION).match(line)
        # layers built from Python carry no regularization strengths
        assert m.group(5) == "0.000" and m.group(2) == m.group(4), line


def test_five_digit_epochs_print_in_full(capfd):
    x, y = np.zeros((1, 0), f32), np.array([0], np.int32)
    m = dense_model("categorical", 0, 2)
    wexo.train_categorical_model(m, wexo.create_optimizer("sgd", 0.0, 0.0), 10000, 10000, x, y, x[:0, :0], y[:0])
    got = printed_lines(capfd)
    assert len(got) == 10000
    assert got[8].startswith("epoch:    9, ") and got[-1].startswith("epoch: 10000, acc: ")


def test_print_freq_zero_aborts_before_anything(tmp_path, capfd):
    path = tmp_path / "best.json"
    x, y = spiral()
    with pytest.raises(BaseException) as info:
        wexo.train_categorical_model(small_classifier(str(path)), wexo.create_optimizer("adam", 0.01, 0.0),
                                     10, 0, x, y, x, y)
    assert is_abort(info.value) and info.value.args == ("attempt to divide by zero",)
    assert not isinstance(info.value, Exception)
    assert capfd.readouterr().out == "" and not path.exists()


@pytest.mark.parametrize("opt_type,loss_type,epochs,written", [
    ("adam", None, 30, True),
    ("adam", None, 1, False),       # epoch 1 only sets the baseline
    ("Adam", None, 30, False),      # no update: the loss never falls
    ("adam", "crossentropy", 30, False),  # data loss printed as 0 and never below 0
])
def test_best_parameters_file_is_written_only_on_improvement(tmp_path, capfd, opt_type, loss_type, epochs, written):
    path = tmp_path / "best.json"
    x, y = spiral()
    model = small_classifier(str(path))
    if loss_type is not None:
        # only a model file can carry another loss type
        wexo.train_categorical_model(model, wexo.create_optimizer("adam", 0.05, 0.0), 5, 1, x, y, x[:0, :0], y[:0])
        doc = json.load(open(path))
        doc["loss_type"] = loss_type
        json.dump(doc, open(path, "w"))
        model = wexo.load_categorical_model(str(path))
        os.remove(path)
    capfd.readouterr()
    wexo.train_categorical_model(model, wexo.create_optimizer(opt_type, 0.05, 0.0), epochs, 1, x, y, x, y)
    assert path.exists() == written
    if loss_type is not None:
        assert all("crossentropy: 0.000" in line for line in printed_lines(capfd))


def test_saved_file_holds_the_parameters_after_the_last_update(tmp_path, capfd):
    path = tmp_path / "best.json"
    x, y = spiral()
    wexo.train_categorical_model(small_classifier(str(path), dropout=0.1), wexo.create_optimizer("adam", 0.02, 0.0),
                                 40, 1, x, y, x, y)
    doc = json.load(open(path))
    assert list(doc) == ["layers", "output_type", "loss_type", "acc_type", "save_best_params"]
    assert doc["save_best_params"] == str(path)
    dense, drop, out = doc["layers"]
    assert drop["dropout_rate"] == pytest.approx(0.9)  # the keep probability
    assert oracle.arrays_of(dense, "weight_momentums").shape == (2, 16)
    assert oracle.arrays_of(dense, "inputs").shape == x.shape  # the validation pass ran last
    # the file's parameters, evaluated, give the report the oracle computes from them
    capfd.readouterr()
    loaded = wexo.load_categorical_model(str(path))
    wexo.evaluate_categorical_model(loaded, x, y)
    got = printed_lines(capfd)
    probs = oracle.forward(doc["layers"], x, "softmax")
    pred = probs.argmax(axis=1)
    expected = [f"True: {t}, Predicted: {p}, Certainty: {oracle.fixed(f32(probs[i, t] * f32(100)), 1)}%"
                for i, (t, p) in enumerate(zip(y, pred))]
    assert got[:-1] == expected
    assert got[-1] == f"Validation accuracy {oracle.fixed(f32(np.count_nonzero(pred == y) / f32(len(y))) * f32(100), 1)}%"


def test_training_leaves_its_arguments_unchanged(tmp_path, capfd):
    x, y = spiral()
    xs, ys = x.copy(), y.copy()
    model, opt = small_classifier(str(tmp_path / "a.json")), wexo.create_optimizer("adam", 0.02, 0.001)
    for _ in range(2):  # each call starts again from fresh weights and the undecayed rate
        wexo.train_categorical_model(model, opt, 20, 20, x, y, x[:0, :0], y[:0])
    got = printed_lines(capfd)
    assert len(got) == 40 and got[0].endswith("lr 0.02") and got[20].endswith("lr 0.02")
    assert np.array_equal(x, xs) and np.array_equal(y, ys)
    # the model still has no weights: evaluating it aborts like before training
    with pytest.raises(BaseException) as info:
        wexo.evaluate_categorical_model(model, x, y)
    assert is_abort(info.value)


def test_linear_training_regresses_a_line(tmp_path, capfd):
    path = tmp_path / "lin.json"
    x = np.linspace(-1, 1, 64, dtype=f32)[:, None]
    y = (2 * x[:, 0] + 0.5).astype(f32)
    m = wexo.create_linear_model("linear", str(path))
    m = wexo.add_linear_model_layer(m, 1, 8, "dense", "relu")
    m = wexo.add_linear_model_layer(m, 8, 1, "dense")
    wexo.train_linear_model(m, wexo.create_optimizer("adam", 0.02, 0.0), 300, 100, x, y, x, y)
    got = printed_lines(capfd)
    assert len(got) == 200 and all(PROGRESS.match(line) or VALIDATION.match(line) for line in got)
    assert float(PROGRESS.match(got[-2]).group(4)) < float(PROGRESS.match(got[0]).group(4))
    doc = json.load(open(path))
    assert list(doc) == ["layers", "output_type", "loss_type", "acc_type", "acc_precision", "save_best_params"]
    wexo.evaluate_linear_model(wexo.load_linear_model(str(path)), x, y)
    report = printed_lines(capfd)
    p = oracle.forward(doc["layers"], x, "linear")[:, 0]
    err = np.abs((y - p).astype(f32))
    assert report[:-1] == [f"True: {oracle.fixed(t, 3)}, Predicted: {oracle.fixed(q, 3)}, Error {oracle.fixed(e, 3)}"
                           for t, q, e in zip(y, p, err)]
    assert report[-1].startswith("Validation MSE: ")


@pytest.mark.parametrize("case", ["class_too_big", "class_negative", "labels_short", "columns", "dropout_rate"])
def test_categorical_training_aborts_on_bad_data(capfd, case):
    x, y = spiral()
    model = small_classifier(dropout=1.5 if case == "dropout_rate" else None)
    if case == "class_too_big":
        y = y.copy(); y[5] = 3
    elif case == "class_negative":
        y = y.copy(); y[5] = -1
    elif case == "labels_short":
        y = y[:-1]
    elif case == "columns":
        x = np.zeros((len(y), 3), f32)
    msg = abort_message(lambda: wexo.train_categorical_model(
        model, wexo.create_optimizer("adam", 0.01, 0.0), 5, 1, x, y, x[:0, :0], y[:0]))
    if case == "dropout_rate":
        assert msg.endswith("ProbabilityTooSmall")
    assert printed_lines(capfd) == []


def test_linear_training_aborts_on_empty_predictions(capfd):
    m = wexo.add_linear_model_layer(wexo.create_linear_model("Linear", ""), 1, 1, "dense")
    x, y = np.ones((4, 1), f32), np.ones(4, f32)
    abort_message(lambda: wexo.train_linear_model(m, sgd(), 3, 1, x, y, x, y))


def test_unwritable_best_path_aborts_after_the_lines_so_far(tmp_path, capfd):
    x, y = spiral()
    model = small_classifier(str(tmp_path / "missing" / "best.json"))
    msg = abort_message(lambda: wexo.train_categorical_model(
        model, wexo.create_optimizer("adam", 0.05, 0.0), 20, 20, x, y, x[:0, :0], y[:0]))
    assert "No such file or directory" in msg
    # every epoch prints; the first one whose loss beats epoch 1's tries the write, which aborts after its line
    losses = [float(line.split("categorical_crossentropy: ")[1].split(",")[0]) for line in printed_lines(capfd)]
    assert len(losses) >= 2
    assert losses[-1] <= losses[0] and all(loss >= losses[0] for loss in losses[1:-1])
