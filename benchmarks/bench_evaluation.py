"""Evaluation of a 784-128-10 classifier on 60000 samples: wexo's report (printed to /dev/null) against NumPy's
x @ W + b forward chain on the same shapes, in the same run.

    python benchmarks/bench_evaluation.py [--samples N] [--repeat R]
"""
import argparse
import json
import os
import tempfile

import numpy as np

import wexo
from timing import best_of

f32 = np.float32


def model_file(path, weights):
    def arr(a):
        return {"v": 1, "dim": list(a.shape), "data": a.ravel().tolist()}

    e2, e1 = arr(np.zeros((0, 0), f32)), arr(np.zeros(0, f32))
    layers = []
    for i, (w, b) in enumerate(weights):
        layers.append({"layer_type": "dense", "activation_type": "relu" if i == 0 else "",
                       "n_inputs": w.shape[0], "n_neurons": w.shape[1], "weights": arr(w), "biases": arr(b),
                       "weight_regularizer_l1": 0.0, "weight_regularizer_l2": 0.0, "bias_regularizer_l1": 0.0,
                       "bias_regularizer_l2": 0.0, "inputs": e2, "activation_inputs": e2, "dweights": e2,
                       "dbiases": e1, "weight_momentums": e2, "weight_cache": e2, "bias_momentums": e1,
                       "bias_cache": e1, "dropout_rate": 0.0, "binary_mask": e2})
    with open(path, "w") as f:
        json.dump({"layers": layers, "output_type": "softmax", "loss_type": "categorical_crossentropy",
                   "acc_type": "categorical", "save_best_params": ""}, f)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--samples", type=int, default=60000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    weights = [((rng.standard_normal((784, 128)) * 0.05).astype(f32), np.zeros(128, f32)),
               ((rng.standard_normal((128, 10)) * 0.05).astype(f32), np.zeros(10, f32))]
    x = rng.standard_normal((args.samples, 784)).astype(f32)
    y = rng.integers(0, 10, args.samples).astype(np.int32)
    path = os.path.join(tempfile.mkdtemp(), "m.json")
    model_file(path, weights)
    model = wexo.load_categorical_model(path)

    def run_wexo():
        saved = os.dup(1)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        try:
            wexo.evaluate_categorical_model(model, x, y)
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            os.close(devnull)

    def run_numpy():
        h = x
        for i, (w, b) in enumerate(weights):
            h = h @ w + b
            if i == 0:
                h = np.maximum(h, 0)
        return h

    tw, tn = best_of(args.repeat, run_wexo), best_of(args.repeat, run_numpy)
    print(f"{'samples':>8} {'wexo s':>9} {'numpy chain s':>14} {'wexo/numpy':>11}")
    print(f"{args.samples:8d} {tw:9.4f} {tn:14.4f} {tw / tn:11.2f}")


if __name__ == "__main__":
    main()
