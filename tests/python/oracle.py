"""A NumPy float32 reference that follows the library's order of operations, plus model-file builders."""
import json

import numpy as np

f32 = np.float32


def layer(layer_type="dense", activation_type="", weights=None, biases=None, dropout_rate=0.0, **extra):
    """A complete layer object for a hand-made model file."""
    w = np.zeros((0, 0), f32) if weights is None else np.asarray(weights, f32)
    b = np.zeros(0, f32) if biases is None else np.asarray(biases, f32)

    def arr(a):
        a = np.asarray(a, f32)
        return {"v": 1, "dim": list(a.shape), "data": [float(v) for v in a.ravel()]}

    empty2, empty1 = arr(np.zeros((0, 0))), arr(np.zeros(0))
    obj = {
        "layer_type": layer_type, "activation_type": activation_type,
        "n_inputs": int(w.shape[0]), "n_neurons": int(w.shape[1]) if w.ndim == 2 else 0,
        "weights": arr(w), "biases": arr(b),
        "weight_regularizer_l1": 0.0, "weight_regularizer_l2": 0.0,
        "bias_regularizer_l1": 0.0, "bias_regularizer_l2": 0.0,
        "inputs": empty2, "activation_inputs": empty2, "dweights": empty2, "dbiases": empty1,
        "weight_momentums": empty2, "weight_cache": empty2, "bias_momentums": empty1, "bias_cache": empty1,
        "dropout_rate": float(dropout_rate), "binary_mask": empty2,
    }
    obj.update(extra)
    return obj


def write_model(path, layers, kind="categorical", save_best_params="", **fields):
    if kind == "categorical":
        doc = {"layers": layers, "output_type": "softmax", "loss_type": "categorical_crossentropy",
               "acc_type": "categorical", "save_best_params": save_best_params}
    else:
        doc = {"layers": layers, "output_type": "linear", "loss_type": "mean_squared_error",
               "acc_type": "linear", "acc_precision": 1.0, "save_best_params": save_best_params}
    doc.update(fields)
    with open(path, "w") as f:
        json.dump(doc, f)
    return path


def arrays_of(layer_obj, key):
    a = layer_obj[key]
    return np.asarray(a["data"], f32).reshape(a["dim"])


def softmax(x):
    x = np.asarray(x, f32)
    e = np.exp(x - x.max(axis=1, keepdims=True)).astype(f32)
    s = np.zeros(e.shape[0], f32)
    for j in range(e.shape[1]):  # left to right
        s = (s + e[:, j]).astype(f32)
    return (e / s[:, None]).astype(f32)


def forward(layers, x, output_type):
    """Evaluation-mode forward pass of a loaded model's layers."""
    out = np.asarray(x, f32)
    for lo in layers:
        if lo["layer_type"] == "dense":
            out = (out @ arrays_of(lo, "weights") + arrays_of(lo, "biases")).astype(f32)
        elif lo["layer_type"] != "dropout":
            out = np.zeros((0, 0), f32)
        if lo["activation_type"] == "relu":
            out = np.where(out < 0, f32(0), out).astype(f32)
    return softmax(out) if output_type == "softmax" else out


LOW, HIGH = np.frombuffer(bytes.fromhex("95bfd633"), f32)[0], np.frombuffer(bytes.fromhex("feff7f3f"), f32)[0]


def crossentropy(pred, y):
    total = f32(-0.0)
    for i, c in enumerate(y):
        p = min(max(pred[i, c], LOW), HIGH)
        total = f32(total + f32(-np.log(f32(p))))
    return f32(total / f32(len(y)))


def crossentropy_backward(pred, y):
    g = np.array(pred, f32)
    g[np.arange(len(y)), y] -= f32(1)
    return (g / f32(g.shape[0])).astype(f32)


def mse(p, y):
    d = (np.asarray(y[: len(p)], f32) - p).astype(f32)
    return f32(np.sum(d * d, dtype=f32) / f32(len(p)))


def mse_backward(out, y):
    n_rows, n_cols = out.shape
    return ((((np.asarray(y[:n_rows], f32)[:, None] - out) * f32(-2)).astype(f32) / f32(n_cols)) / f32(n_rows)).astype(f32)


def power(beta, t):
    result = beta if t & 1 else f32(1)
    t >>= 1
    base = beta
    while t:
        base = f32(base * base)
        if t & 1:
            result = f32(result * base)
        t >>= 1
    return result


class Optimizer:
    """The three update rules on one parameter array at a time, float32 throughout."""

    def __init__(self, opt_type, learning_rate, decay):
        self.opt_type, self.lr, self.decay = opt_type, f32(learning_rate), f32(decay)
        self.current, self.iterations = self.lr, 0
        self.eps, self.b1, self.b2 = f32(1e-7), f32(0.9), f32(0.999)

    def pre_update(self):
        if self.decay != 0:
            self.current = f32(f32(f32(1) / f32(f32(self.decay * f32(self.iterations)) + f32(1))) * self.lr)

    def update(self, p, g, state):
        lr, t = self.current, self.iterations + 1
        if self.opt_type == "sgd":
            return (g * -lr).astype(f32) + p
        if self.opt_type not in ("adam", "tf_adam"):
            return p
        if "m" not in state:
            state["m"], state["v"] = np.zeros_like(p), np.zeros_like(p)
        one_b1, one_b2 = f32(1) - self.b1, f32(1) - self.b2
        state["m"] = (state["m"] * self.b1 + g * one_b1).astype(f32)
        state["v"] = (state["v"] * self.b2 + (g * g).astype(f32) * one_b2).astype(f32)
        if self.opt_type == "adam":
            m_hat = (state["m"] / (f32(1) - power(self.b1, t))).astype(f32)
            v_hat = (state["v"] / (f32(1) - power(self.b2, t))).astype(f32)
            return (p + (m_hat * -lr).astype(f32) / (np.sqrt(v_hat) + self.eps)).astype(f32)
        lr_t = f32(f32(np.sqrt(f32(1) - power(self.b2, t)) * lr) / (f32(1) - power(self.b1, t)))
        return (p - (state["m"] * lr_t).astype(f32) / (np.sqrt(state["v"]) + self.eps)).astype(f32)

    def post_update(self):
        self.iterations += 1


def fixed(v, decimals):
    """The library's fixed-decimal text: exact value, ties to even, NaN/inf spelled its way."""
    v = float(v)
    if v != v:
        return "NaN"
    if v in (float("inf"), float("-inf")):
        return "inf" if v > 0 else "-inf"
    return f"{v:.{decimals}f}"


def shortest_positional(v):
    return np.format_float_positional(f32(v), unique=True, trim="-")


def progress_line(epoch, acc, loss, reg, loss_type, lr):
    return (f"epoch: {epoch:4d}, acc: {fixed(acc, 3)}, loss: {fixed(f32(loss + reg), 3)} [{loss_type}: "
            f"{fixed(loss, 3)}, reg: {fixed(reg, 3)}], lr {shortest_positional(lr)}")


def validation_line(acc, loss, reg, loss_type):
    return (f"validation:  acc: {fixed(acc, 3)}, loss: {fixed(f32(loss + reg), 3)} [{loss_type}: "
            f"{fixed(loss, 3)}, reg: {fixed(reg, 3)}]")
