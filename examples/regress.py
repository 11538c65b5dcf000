"""Fit a noisy sine with a small regression network, keep the best parameters, load them and evaluate."""
import argparse

import numpy as np

import wexo
from curves import add_common_options, check_options, model_file, require_written, run_captured, train_and_plot


def noisy_sine(n, seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-np.pi, np.pi, (n, 1))
    y = np.sin(x[:, 0]) + rng.normal(0.0, 0.1, n)
    return x.astype(np.float32), y.astype(np.float32)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--samples", type=int, default=1000)
    ap.add_argument("--epochs", type=int, default=2000)
    ap.add_argument("--hidden", type=int, default=64)
    ap.add_argument("--optimizer", choices=["adam", "tf_adam", "sgd"], default="adam")
    ap.add_argument("--learning-rate", type=float, default=0.005)
    ap.add_argument("--decay", type=float, default=1e-3)
    add_common_options(ap)
    args = ap.parse_args()
    check_options(ap, args)
    with model_file(args.model_file) as path:
        run(args, path)


def run(args, path):
    x, y = noisy_sine(args.samples, 0)
    val_x, val_y = noisy_sine(args.samples // 5, 1)

    model = wexo.create_linear_model("linear", path)
    model = wexo.add_linear_model_layer(model, 1, args.hidden, "dense", "relu")
    model = wexo.add_linear_model_layer(model, args.hidden, args.hidden, "dense", "relu")
    model = wexo.add_linear_model_layer(model, args.hidden, 1, "dense")
    opt = wexo.create_optimizer(args.optimizer, args.learning_rate, args.decay)

    train = lambda: wexo.train_linear_model(model, opt, args.epochs, args.reports, x, y, val_x, val_y)  # noqa: E731
    if args.plot:
        train_and_plot(train, args.plot)
    else:
        train()

    require_written(path)
    best = wexo.load_linear_model(path)
    report = run_captured(lambda: wexo.evaluate_linear_model(best, val_x, val_y), echo=False)
    print(report[-1])


if __name__ == "__main__":
    main()
