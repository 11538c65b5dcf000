"""Evaluation reports of hand-made model files, checked against the NumPy oracle."""
import numpy as np
import pytest

import oracle
import wexo
from support import f32, is_abort, printed_lines


def test_linear_report_of_two_samples(tmp_path, capfd):
    path = oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=[[0.0]], biases=[2.5])], kind="linear")
    wexo.evaluate_linear_model(wexo.load_linear_model(str(path)), np.ones((2, 1), f32), np.array([3, 1], f32))
    assert printed_lines(capfd) == ["True: 3.000, Predicted: 2.500, Error 0.500",
                             "True: 1.000, Predicted: 2.500, Error 1.500",
                             "Validation MSE: 1.250, Accuracy 50.0%"]


def test_categorical_report_uses_the_true_class_probability(tmp_path, capfd):
    # no layers and no output activation: the outputs are x itself
    path = oracle.write_model(tmp_path / "m.json", [], output_type="none")
    x = np.array([[0.9, 0.1], [0.3, 0.7]], f32)
    wexo.evaluate_categorical_model(wexo.load_categorical_model(str(path)), x, np.array([0, 0], np.int32))
    assert printed_lines(capfd) == ["Validation accuracy NaN%"]
    path = oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=np.eye(2), biases=[0, 0])],
                              output_type="softmax")
    logits = np.log(x)  # softmax(log p) = p
    wexo.evaluate_categorical_model(wexo.load_categorical_model(str(path)), logits, np.array([0, 0], np.int32))
    assert printed_lines(capfd) == ["True: 0, Predicted: 0, Certainty: 90.0%",
                             "True: 0, Predicted: 1, Certainty: 30.0%",
                             "Validation accuracy 50.0%"]


@pytest.mark.parametrize("acc_type,summary", [("categorical", "Validation accuracy"), ("Categorical", "0.0%")])
def test_categorical_report_matches_oracle(tmp_path, capfd, acc_type, summary):
    rng = np.random.default_rng(1)
    layers = [oracle.layer(activation_type="relu", weights=rng.normal(size=(4, 8)), biases=rng.normal(size=8)),
              oracle.layer("dropout", dropout_rate=0.5),
              oracle.layer(weights=rng.normal(size=(8, 3)), biases=rng.normal(size=3))]
    path = oracle.write_model(tmp_path / "m.json", layers, acc_type=acc_type)
    x = rng.normal(size=(50, 4)).astype(f32)
    y = rng.integers(0, 3, 50).astype(np.int32)
    wexo.evaluate_categorical_model(wexo.load_categorical_model(str(path)), x, y)
    got = printed_lines(capfd)
    probs = oracle.forward(layers, x, "softmax")
    pred = probs.argmax(axis=1)
    assert got[:-1] == [f"True: {t}, Predicted: {p}, Certainty: {oracle.fixed(f32(probs[i, t] * f32(100)), 1)}%"
                        for i, (t, p) in enumerate(zip(y, pred))]
    if acc_type == "categorical":
        acc = f32(f32(np.count_nonzero(pred == y)) / f32(50)) * f32(100)
        assert got[-1] == f"Validation accuracy {oracle.fixed(acc, 1)}%"
    else:
        assert got[-1] == "Validation accuracy 0.0%"


@pytest.mark.parametrize("kind", ["linear", "categorical"])
def test_zero_samples_report_nan(tmp_path, capfd, kind):
    path = oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=[[1.0], [1.0]], biases=[0.0])], kind=kind)
    x = np.zeros((0, 2), f32)
    if kind == "linear":
        wexo.evaluate_linear_model(wexo.load_linear_model(str(path)), x, np.zeros(0, f32))
        assert printed_lines(capfd) == ["Validation MSE: NaN, Accuracy NaN%"]
    else:
        wexo.evaluate_categorical_model(wexo.load_categorical_model(str(path)), x, np.zeros(0, np.int32))
        assert printed_lines(capfd) == ["Validation accuracy NaN%"]


@pytest.mark.parametrize("labels,printed", [([0, 1, 2], 2), ([0, -1], 1), ([0], 1)])
def test_bad_labels_abort_after_the_earlier_lines(tmp_path, capfd, labels, printed):
    path = oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=np.eye(2), biases=[0, 0])])
    x = np.array([[1, 0], [0, 1], [1, 1]], f32)[: max(len(labels), 2)]
    with pytest.raises(BaseException) as info:
        wexo.evaluate_categorical_model(wexo.load_categorical_model(str(path)), x, np.array(labels, np.int32))
    assert is_abort(info.value)
    assert len(printed_lines(capfd)) == printed


def test_linear_targets_short_aborts_after_the_earlier_lines(tmp_path, capfd):
    path = oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=[[1.0]], biases=[0.0])], kind="linear")
    with pytest.raises(BaseException) as info:
        wexo.evaluate_linear_model(wexo.load_linear_model(str(path)), np.ones((3, 1), f32), np.ones(2, f32))
    assert is_abort(info.value)
    assert len(printed_lines(capfd)) == 2


@pytest.mark.parametrize("case", ["columns", "short_biases", "empty_weights"])
def test_shape_faults_abort_without_output(tmp_path, capfd, case):
    w, b, x = [[1.0, 0.0], [0.0, 1.0]], [0.0, 0.0], np.ones((2, 2), f32)
    if case == "columns":
        x = np.ones((2, 3), f32)
    elif case == "short_biases":
        b = [0.0]
    if case == "empty_weights":
        model = wexo.add_categorical_model_layer(wexo.create_categorical_model("softmax", ""), 2, 2, "dense")
    else:
        model = wexo.load_categorical_model(str(oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=w, biases=b)])))
    with pytest.raises(BaseException) as info:
        wexo.evaluate_categorical_model(model, x, np.zeros(2, np.int32))
    assert is_abort(info.value)
    assert printed_lines(capfd) == []


def test_a_linear_report_judges_only_the_first_output_column(tmp_path, capfd):
    path = oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=[[1.0, 5.0, 9.0]], biases=[0, 0, 0])],
                              kind="linear", acc_type="whatever", acc_precision=0.0)
    wexo.evaluate_linear_model(wexo.load_linear_model(str(path)), np.array([[1.0], [2.0]], f32),
                               np.array([1.0, 2.5], f32))
    assert printed_lines(capfd) == ["True: 1.000, Predicted: 1.000, Error 0.000",
                             "True: 2.500, Predicted: 2.000, Error 0.500",
                             "Validation MSE: 0.125, Accuracy 50.0%"]


# Large batches are evaluated a block of rows at a time. With small multiples of 1/64 every product and sum is
# exact, so a row's outputs cannot depend on how the batch was cut or in what order the sums ran.
def exact_model(tmp_path, rng, n_in, n_out, kind):
    def grid(*shape):
        return rng.integers(-4, 5, shape) / 64
    layers = [oracle.layer(activation_type="relu", weights=grid(n_in, 6), biases=grid(6)),
              oracle.layer(weights=grid(6, n_out), biases=grid(n_out))]
    return layers, oracle.write_model(tmp_path / "m.json", layers, kind=kind)


LAYOUTS = {"C": lambda a: a, "F": np.asfortranarray, "reversed": lambda a: a[::-1].copy()[::-1]}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_a_batch_of_many_blocks_reports_as_its_pieces_do(tmp_path, capfd, layout):
    rng = np.random.default_rng(3)
    _, path = exact_model(tmp_path, rng, 300, 3, "categorical")
    model = wexo.load_categorical_model(str(path))
    x = rng.integers(-1, 2, (3000, 300)).astype(f32)
    y = rng.integers(0, 3, 3000).astype(np.int32)
    wexo.evaluate_categorical_model(model, LAYOUTS[layout](x), y)
    whole = printed_lines(capfd)
    pieces = []
    for a, b in [(0, 1), (1, 700), (700, 1999), (1999, 3000)]:
        wexo.evaluate_categorical_model(model, x[a:b], y[a:b])
        pieces += printed_lines(capfd)[:-1]
    assert whole[:-1] == pieces and len(pieces) == 3000
    correct = sum(line.split(",")[0][6:] == line.split(",")[1][12:] for line in pieces)
    assert whole[-1] == f"Validation accuracy {oracle.fixed(f32(f32(correct) / f32(3000)) * f32(100), 1)}%"


def test_a_linear_batch_of_many_blocks_matches_the_oracle(tmp_path, capfd):
    rng = np.random.default_rng(4)
    layers, path = exact_model(tmp_path, rng, 300, 1, "linear")
    x = rng.integers(-1, 2, (3000, 300)).astype(f32)
    y = (rng.integers(-8, 9, 3000) / 8).astype(f32)
    wexo.evaluate_linear_model(wexo.load_linear_model(str(path)), x, y)
    got = printed_lines(capfd)
    p = oracle.forward(layers, x, "linear")[:, 0]
    err = np.abs(y - p).astype(f32)
    assert got[:-1] == [f"True: {oracle.fixed(t, 3)}, Predicted: {oracle.fixed(q, 3)}, Error {oracle.fixed(e, 3)}"
                        for t, q, e in zip(y, p, err)]
    total = f32(0)
    for e in err:  # in sample order
        total = f32(total + e * e)
    acc = f32(f32(np.count_nonzero(err <= 1.0)) / f32(3000)) * f32(100)
    assert got[-1] == f"Validation MSE: {oracle.fixed(f32(total / f32(3000)), 3)}, Accuracy {oracle.fixed(acc, 1)}%"


@pytest.mark.parametrize("kind", ["linear", "categorical"])
def test_a_fault_in_a_late_block_keeps_the_earlier_lines(tmp_path, capfd, kind):
    rng = np.random.default_rng(5)
    _, path = exact_model(tmp_path, rng, 300, 3, kind)
    x = rng.integers(-1, 2, (3000, 300)).astype(f32)
    with pytest.raises(BaseException) as info:
        if kind == "linear":
            wexo.evaluate_linear_model(wexo.load_linear_model(str(path)), x, np.zeros(2500, f32))
        else:
            y = np.zeros(3000, np.int32)
            y[2600] = 3
            wexo.evaluate_categorical_model(wexo.load_categorical_model(str(path)), x, y)
    assert is_abort(info.value)
    assert len(printed_lines(capfd)) == (2500 if kind == "linear" else 2600)
