"""Model-file speed: wexo's writer and reader (the C++ program bench_model_file, built with the tests) against
orjson and Python's json on the same float32 numbers, in the same run. The model is one dense layer whose stored
input batch is a (rows, 100) standard-normal array, sized so that the file is about --mb megabytes.

    python benchmarks/bench_model_file.py [--mb 20] [--repeat 3] [--no-json] [--bin build/tests/bench_model_file]
    python benchmarks/bench_model_file.py --mb 200 --no-json      # the 200 MB comparison

Build the program first: cmake -S . -B build/tests -DWEXO_BUILD_TESTS=ON && cmake --build build/tests
"""
import argparse
import glob
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

from timing import best_of

f32 = np.float32
COLS = 100
BYTES_PER_NUMBER = 10.9  # standard-normal float32 in shortest form, with its comma


def find_binary(given):
    if given:
        return given
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    found = sorted(glob.glob(os.path.join(root, "build", "*", "bench_model_file")), key=os.path.getmtime)
    if not found:
        sys.exit("bench_model_file not found; build it: cmake -S . -B build/tests -DWEXO_BUILD_TESTS=ON && "
                 "cmake --build build/tests --target bench_model_file")
    return found[-1]


def run_binary(*args):
    out = subprocess.run([str(a) for a in args], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def document(inputs, arrays):
    """The model as a dict in the file's key order; `arrays` turns each float32 array into its JSON value."""
    cols = inputs.shape[1]
    weights = (inputs[0] * f32(0.01)).reshape(cols, 1)

    def arr(a):
        return {"v": 1, "dim": list(a.shape), "data": arrays(a.ravel())}

    e2, e1 = np.zeros((0, 0), f32), np.zeros(0, f32)
    layer = {"layer_type": "dense", "activation_type": "relu", "n_inputs": cols, "n_neurons": 1,
             "weights": arr(weights), "biases": arr(np.array([0.5], f32)), "weight_regularizer_l1": 0.0,
             "weight_regularizer_l2": 0.0, "bias_regularizer_l1": 0.0, "bias_regularizer_l2": 0.0,
             "inputs": arr(inputs), "activation_inputs": arr(e2), "dweights": arr(weights),
             "dbiases": arr(np.array([-0.25], f32)), "weight_momentums": arr(e2), "weight_cache": arr(e2),
             "bias_momentums": arr(e1), "bias_cache": arr(e1), "dropout_rate": 0.0, "binary_mask": arr(e2)}
    return {"layers": [layer], "output_type": "linear", "loss_type": "mean_squared_error", "acc_type": "linear",
            "acc_precision": 1.0, "save_best_params": "bench.json"}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=float, default=20.0, help="approximate file size in MB (default 20)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-json", action="store_true", help="skip Python's json (slow at large sizes)")
    ap.add_argument("--bin", help="path of the bench_model_file program")
    ap.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                    help="where the file goes (default /dev/shm: memory, as orjson's output is)")
    args = ap.parse_args()
    import orjson

    binary = find_binary(args.bin)
    rows = max(1, int(args.mb * 1e6 / (BYTES_PER_NUMBER * COLS)))
    inputs = np.random.default_rng(0).standard_normal((rows, COLS)).astype(f32)
    tmp = tempfile.mkdtemp(dir=args.dir)
    raw, path = os.path.join(tmp, "inputs.f32"), os.path.join(tmp, "model.json")
    inputs.tofile(raw)

    w = run_binary(binary, "write", raw, rows, COLS, path, args.repeat)
    fm = run_binary(binary, "format", raw, rows, COLS, args.repeat)
    r = run_binary(binary, "read", path, args.repeat)
    size = w["bytes"]
    with open(path, "rb") as f:
        data = f.read()
    results = [("wexo (C++)", w["seconds"], size, r["seconds"])]

    doc = document(inputs, lambda a: a)
    opt = orjson.OPT_SERIALIZE_NUMPY
    dumped = orjson.dumps(doc, option=opt)
    results.append(("orjson", best_of(args.repeat, lambda: orjson.dumps(doc, option=opt)), len(dumped),
                    best_of(args.repeat, lambda: orjson.loads(data))))
    del dumped
    if not args.no_json:
        lists = document(inputs, lambda a: a.tolist())
        text = data.decode()
        out = json.dumps(lists, separators=(",", ":"))
        results.append(("json", best_of(1, lambda: json.dumps(lists, separators=(",", ":"))), len(out),
                        best_of(1, lambda: json.loads(text))))
        del out, lists, text
    try:
        import wexo

        if hasattr(wexo, "load_linear_model"):
            t = best_of(args.repeat, lambda: wexo.load_linear_model(path))
            results.append(("wexo.load_linear_model", float("nan"), size, t))
    except ImportError:
        pass

    print(f"file: {size / 1e6:.1f} MB (inputs {rows} x {COLS} float32), best of {args.repeat}; "
          f"read MB/s counts wexo's file for every reader")
    print(f"{'':24}{'write s':>9}{'write MB/s':>12}{'read s':>9}{'read MB/s':>11}")
    for name, ws, wbytes, rs in results:
        wcol = f"{ws:9.3f}{wbytes / ws / 1e6:12.0f}" if ws == ws else f"{'':9}{'':12}"
        print(f"{name:24}{wcol}{rs:9.3f}{size / rs / 1e6:11.0f}")
    oj = results[1]
    print(f"write: {oj[1] / w['seconds']:.2f}x the speed of orjson.dumps (same arrays, OPT_SERIALIZE_NUMPY); "
          f"read: {oj[3] / r['seconds']:.2f}x the speed of orjson.loads (same file)")
    digits = f" (the shortest-digits search alone {fm['digits_seconds']:.3f} s)" if fm["digits_seconds"] >= 0 else ""
    print(f"wexo's write: {w['seconds']:.3f} s = formatting into memory {fm['seconds']:.3f} s{digits} "
          f"+ the file {w['seconds'] - fm['seconds']:.3f} s (writing, replacing the previous one)")
    grown = (r["rss_peak_kib"] - r["rss_before_kib"]) * 1024
    print(f"read memory: peak RSS grew {grown / 2**20:.1f} MiB while reading a {r['record_bytes'] / 2**20:.1f} MiB "
          f"record ({(grown - r['record_bytes']) / 2**20:+.1f} MiB beyond it)")
    os.remove(raw)
    os.remove(path)
    os.rmdir(tmp)


if __name__ == "__main__":
    main()
