"""Writes the seed corpus of the model-file fuzzer: files written by training runs of both kinds, and the same
documents in every form the reader accepts (array forms, whitespace, key order, unknown keys, number spellings).
Usage: python tests/fuzz/make_seeds.py OUT_DIR   (needs the wexo module installed)"""
import itertools
import json
import os
import sys
import tempfile

import numpy as np

import wexo

f32, i32 = np.float32, np.int32


def quiet_fd1():
    """Training prints its progress on fd 1; the seeds are what matters here."""
    sys.stdout.flush()
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)


def trained_files(folder):
    """Small training runs: a file each, from the library's own writer."""
    rng = np.random.default_rng(7)
    x = rng.standard_normal((3, 2)).astype(f32)
    empty_x = np.zeros((0, 0), f32)
    files = []
    variants = itertools.product(["linear", "categorical"], ["adam", "tf_adam", "sgd"], [False, True], [False, True])
    for n, (kind, opt_type, dropout, validation) in enumerate(variants):
        path = os.path.join(folder, f"{kind}-{n}.json")
        opt = wexo.create_optimizer(opt_type, 0.05, 0.01)
        if kind == "linear":
            m = wexo.create_linear_model("linear", path)
            add, train, y = wexo.add_linear_model_layer, wexo.train_linear_model, rng.standard_normal(3).astype(f32)
            n_out = 1
        else:
            m = wexo.create_categorical_model("softmax", path)
            add, train, y = wexo.add_categorical_model_layer, wexo.train_categorical_model, np.array([0, 1, 2], i32)
            n_out = 3
        m = add(m, 2, 3, "dense", "relu")
        if dropout:
            m = add(m, layer_type="dropout", dropout_rate=0.25)
        m = add(m, 3, n_out, "dense")
        val_x, val_y = (x, y) if validation else (empty_x, y[:0])
        train(m, opt, 12, 3, x, y, val_x, val_y)
        if os.path.exists(path):
            files.append(path)
    return files


def array_form(value):
    """Every record and array object as the array of its values in declared order."""
    if isinstance(value, dict):
        return [array_form(v) for v in value.values()]
    if isinstance(value, list):
        return [array_form(v) for v in value]
    return value


def only_arrays_as_lists(value):
    if isinstance(value, dict):
        if list(value) == ["v", "dim", "data"]:
            return [value["v"], value["dim"], value["data"]]
        return {k: only_arrays_as_lists(v) for k, v in value.items()}
    if isinstance(value, list):
        return [only_arrays_as_lists(v) for v in value]
    return value


def reordered(value):
    if isinstance(value, dict):
        return {k: reordered(value[k]) for k in reversed(list(value))}
    if isinstance(value, list):
        return [reordered(v) for v in value]
    return value


def with_unknown_keys(value):
    if isinstance(value, dict) and "v" not in value:
        out = {"zz_unknown": {"nested": [1, {"a": None}], "s": "\u00e9\\"}}
        out.update({k: with_unknown_keys(v) for k, v in value.items()})
        return out
    if isinstance(value, list):
        return [with_unknown_keys(v) for v in value]
    return value


def exponent_numbers(text):
    """Floats spelled with exponents and integers where floats go."""
    return text.replace('"acc_precision":1.0', '"acc_precision":1').replace("0.0,", "0e0,").replace("0.0]", "0E+0]")


def variants(text):
    doc = json.loads(text)
    yield text.encode()
    yield json.dumps(doc, indent=2).encode()
    yield json.dumps(doc, separators=(" , ", " : ")).encode() + b"\n\t "
    yield json.dumps(array_form(doc)).encode()
    yield json.dumps(only_arrays_as_lists(doc)).encode()
    yield json.dumps(reordered(doc)).encode()
    yield json.dumps(with_unknown_keys(doc), ensure_ascii=False).encode()
    yield exponent_numbers(text).encode()


SMALL = [
    b'{"layers":[],"output_type":"linear","loss_type":"mean_squared_error","acc_type":"linear",'
    b'"acc_precision":1.0,"save_best_params":""}',
    b'{"layers":[],"output_type":"softmax","loss_type":"categorical_crossentropy","acc_type":"categorical",'
    b'"save_best_params":"best.json"}',
    b'[[],"linear","mean_squared_error","linear",1.0,""]',
    b'[[],"softmax","categorical_crossentropy","categorical","\\u00e9\\n\\"\\\\"]',
]


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    quiet_fd1()
    with tempfile.TemporaryDirectory() as folder:
        texts = [open(p).read() for p in trained_files(folder)]
    seeds = list(SMALL)
    for text in texts:
        seeds.extend(variants(text))
    for i, seed in enumerate(dict.fromkeys(seeds)):
        with open(os.path.join(out_dir, f"seed-{i:03d}.json"), "wb") as f:
            f.write(seed)
    print(f"{len(seeds)} seeds in {out_dir}", file=sys.stderr)


if __name__ == "__main__":
    main(sys.argv[1])
