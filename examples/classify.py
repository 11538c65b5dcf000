"""Train a classifier, keep its best parameters in a model file, load them and evaluate on held-out data.

Uses scikit-learn's handwritten digits when scikit-learn is installed (pip install scikit-learn), otherwise a
generated three-arm spiral.
"""
import argparse

import numpy as np

import wexo
from curves import add_common_options, check_options, model_file, require_written, run_captured, train_and_plot


def spiral(n_per_class=100, classes=3, seed=0):
    rng = np.random.default_rng(seed)
    xs, ys = [], []
    for c in range(classes):
        r = np.linspace(0.0, 1.0, n_per_class)
        t = np.linspace(c * 4.0, (c + 1) * 4.0, n_per_class) + rng.normal(0.0, 0.2, n_per_class)
        xs.append(np.c_[r * np.sin(t), r * np.cos(t)])
        ys.append(np.full(n_per_class, c))
    return np.concatenate(xs), np.concatenate(ys)


def dataset(name):
    if name == "digits":
        from sklearn.datasets import load_digits
        digits = load_digits()
        return digits.data / 16.0, digits.target
    return spiral()


def split(x, y, seed=0):
    order = np.random.default_rng(seed).permutation(len(y))
    x, y = x[order].astype(np.float32), y[order].astype(np.int32)  # wexo takes float32 inputs, int32 labels
    n_val = len(y) // 5
    return x[n_val:], y[n_val:], x[:n_val], y[:n_val]


def main():
    try:
        import sklearn  # noqa: F401
        default_data = "digits"
    except ImportError:
        default_data = "spiral"
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", choices=["digits", "spiral"], default=default_data)
    ap.add_argument("--epochs", type=int, default=1000)
    ap.add_argument("--hidden", type=int, default=64)
    ap.add_argument("--dropout", type=float, default=0.0, help="add a dropout layer dropping this fraction")
    ap.add_argument("--optimizer", choices=["adam", "tf_adam", "sgd"], default="adam")
    ap.add_argument("--learning-rate", type=float, default=0.01)
    ap.add_argument("--decay", type=float, default=1e-4)
    add_common_options(ap)
    args = ap.parse_args()
    check_options(ap, args)
    with model_file(args.model_file) as path:
        run(args, path)


def run(args, path):
    x, y, val_x, val_y = split(*dataset(args.data))
    n_classes = int(y.max()) + 1

    model = wexo.create_categorical_model("softmax", path)
    # every add_* call returns a new model: keep the result
    model = wexo.add_categorical_model_layer(model, x.shape[1], args.hidden, "dense", "relu")
    if args.dropout > 0:
        model = wexo.add_categorical_model_layer(model, layer_type="dropout", dropout_rate=args.dropout)
    model = wexo.add_categorical_model_layer(model, args.hidden, n_classes, "dense")
    opt = wexo.create_optimizer(args.optimizer, args.learning_rate, args.decay)

    print(f"training on {len(y)} samples of {args.data} ({x.shape[1]} features, {n_classes} classes)", flush=True)
    train = lambda: wexo.train_categorical_model(model, opt, args.epochs, args.reports,  # noqa: E731
                                                 x, y, val_x, val_y)
    if args.plot:
        train_and_plot(train, args.plot)
    else:
        train()

    require_written(path)
    best = wexo.load_categorical_model(path)
    print(f"best parameters loaded from {path}; evaluating on {len(val_y)} held-out samples", flush=True)
    summary = run_captured(lambda: wexo.evaluate_categorical_model(best, val_x, val_y), echo=False)
    for line in summary[:5]:
        print(line)
    print(f"... ({len(summary) - 6} more sample lines)")
    print(summary[-1])


if __name__ == "__main__":
    main()
