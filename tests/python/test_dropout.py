"""Dropout masks drawn in training, as the saved model file shows them: values, scaling, keep fraction."""
import json
import math

import numpy as np
import pytest

import oracle
import wexo
from support import EMPTY_X, f32

N_SAMPLES, N_HIDDEN = 3000, 24


def train(path, rate):
    """A few epochs of an easy problem: a later epoch beats the first one's loss and writes the file."""
    rng = np.random.default_rng(7)
    x = rng.normal(size=(N_SAMPLES, 4)).astype(f32)
    y = np.argmax(x[:, :3], axis=1).astype(np.int32)
    m = wexo.create_categorical_model("softmax", str(path))
    m = wexo.add_categorical_model_layer(m, 4, N_HIDDEN, "dense", "relu")
    m = wexo.add_categorical_model_layer(m, layer_type="dropout", dropout_rate=rate)
    m = wexo.add_categorical_model_layer(m, N_HIDDEN, 3, "dense")
    wexo.train_categorical_model(m, wexo.create_optimizer("adam", 0.05, 0.0), 10, 1, x, y, EMPTY_X, y[:0])
    return json.load(open(path))["layers"]


@pytest.mark.parametrize("rate", [0.0, 0.1, 0.5, 0.7, 0.95])
def test_mask_is_scaled_keeps_about_p_and_multiplies_the_batch(tmp_path, capfd, rate):
    _, drop, out = train(tmp_path / "best.json", rate)
    capfd.readouterr()
    keep = f32(drop["dropout_rate"])
    assert keep == f32(1) - f32(rate)
    mask = oracle.arrays_of(drop, "binary_mask")
    assert mask.shape == (N_SAMPLES, N_HIDDEN)
    kept = f32(1) / keep
    assert set(np.unique(mask).tolist()) <= {0.0, float(kept)}
    # without a validation pass the next layer's stored inputs are the output of the pass that drew the mask
    np.testing.assert_array_equal(oracle.arrays_of(out, "inputs"), oracle.arrays_of(drop, "inputs") * mask)
    fraction = np.count_nonzero(mask == kept) / mask.size
    se = math.sqrt(float(keep) * (1 - float(keep)) / mask.size)
    assert abs(fraction - float(keep)) <= 5 * se + 1e-12


@pytest.mark.parametrize("rate", [float("nan"), 1.5])
def test_a_keep_probability_below_zero_or_nan_aborts(tmp_path, capfd, panic, rate):
    with pytest.raises(panic) as info:
        train(tmp_path / "best.json", rate)
    assert info.value.args[0].endswith("ProbabilityTooSmall")
    assert capfd.readouterr().out == ""
