"""Evaluation reports of hand-made model files, checked against the NumPy oracle."""
import numpy as np
import pytest

import oracle
import wexo

f32 = np.float32


def is_abort(exc):
    return type(exc).__module__ == "pyo3_runtime" and type(exc).__name__ == "PanicException"


def report(capfd):
    return capfd.readouterr().out.splitlines()


def test_linear_report_of_two_samples(tmp_path, capfd):
    path = oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=[[0.0]], biases=[2.5])], kind="linear")
    wexo.evaluate_linear_model(wexo.load_linear_model(str(path)), np.ones((2, 1), f32), np.array([3, 1], f32))
    assert report(capfd) == ["True: 3.000, Predicted: 2.500, Error 0.500",
                             "True: 1.000, Predicted: 2.500, Error 1.500",
                             "Validation MSE: 1.250, Accuracy 50.0%"]


def test_categorical_report_uses_the_true_class_probability(tmp_path, capfd):
    # no layers and no output activation: the outputs are x itself
    path = oracle.write_model(tmp_path / "m.json", [], output_type="none")
    x = np.array([[0.9, 0.1], [0.3, 0.7]], f32)
    wexo.evaluate_categorical_model(wexo.load_categorical_model(str(path)), x, np.array([0, 0], np.int32))
    assert report(capfd) == ["Validation accuracy NaN%"]
    path = oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=np.eye(2), biases=[0, 0])],
                              output_type="softmax")
    logits = np.log(x)  # softmax(log p) = p
    wexo.evaluate_categorical_model(wexo.load_categorical_model(str(path)), logits, np.array([0, 0], np.int32))
    assert report(capfd) == ["True: 0, Predicted: 0, Certainty: 90.0%",
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
    got = report(capfd)
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
        assert report(capfd) == ["Validation MSE: NaN, Accuracy NaN%"]
    else:
        wexo.evaluate_categorical_model(wexo.load_categorical_model(str(path)), x, np.zeros(0, np.int32))
        assert report(capfd) == ["Validation accuracy NaN%"]


@pytest.mark.parametrize("labels,printed", [([0, 1, 2], 2), ([0, -1], 1), ([0], 1)])
def test_bad_labels_abort_after_the_earlier_lines(tmp_path, capfd, labels, printed):
    path = oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=np.eye(2), biases=[0, 0])])
    x = np.array([[1, 0], [0, 1], [1, 1]], f32)[: max(len(labels), 2)]
    with pytest.raises(BaseException) as info:
        wexo.evaluate_categorical_model(wexo.load_categorical_model(str(path)), x, np.array(labels, np.int32))
    assert is_abort(info.value)
    assert len(report(capfd)) == printed


def test_linear_targets_short_aborts_after_the_earlier_lines(tmp_path, capfd):
    path = oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=[[1.0]], biases=[0.0])], kind="linear")
    with pytest.raises(BaseException) as info:
        wexo.evaluate_linear_model(wexo.load_linear_model(str(path)), np.ones((3, 1), f32), np.ones(2, f32))
    assert is_abort(info.value)
    assert len(report(capfd)) == 2


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
    assert report(capfd) == []


def test_a_linear_report_judges_only_the_first_output_column(tmp_path, capfd):
    path = oracle.write_model(tmp_path / "m.json", [oracle.layer(weights=[[1.0, 5.0, 9.0]], biases=[0, 0, 0])],
                              kind="linear", acc_type="whatever", acc_precision=0.0)
    wexo.evaluate_linear_model(wexo.load_linear_model(str(path)), np.array([[1.0], [2.0]], f32),
                               np.array([1.0, 2.5], f32))
    assert report(capfd) == ["True: 1.000, Predicted: 1.000, Error 0.000",
                             "True: 2.500, Predicted: 2.000, Error 0.500",
                             "Validation MSE: 0.125, Accuracy 50.0%"]
