"""What a dropout layer costs in training: the digits-like workload per epoch, and the mask per element.

    python benchmarks/bench_dropout.py [--epochs 200] [--repeat 5]
    python benchmarks/bench_dropout.py --ab DIR_A DIR_B [--rounds 8] [--mask-bin-a BIN --mask-bin-b BIN]

The workload: 1797 samples of 64 features (the size of scikit-learn's digits), dense 64-128 relu, dropout 0.1,
dense 128-10, softmax, Adam, full batch, one BLAS thread. Without --ab it times the wexo that `import wexo` finds.
With --ab it times two builds (directories holding a wexo module, put first on PYTHONPATH) in alternating fresh
processes and prints each one's best figure and the ratio B/A; --mask-bin-a/-b add the mask micro-benchmark
(bench_dropout_mask, built with the C++ tests) of each build the same way. The machine is shared: trust the ratios.
"""
import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

f32 = np.float32


def digits_like(n=1797, d=64, classes=10, seed=0):
    """Integer pixel intensities 0..16 around a per-class pattern, like the digits set."""
    rng = np.random.default_rng(seed)
    patterns = rng.uniform(0.0, 16.0, (classes, d))
    y = rng.integers(0, classes, n).astype(np.int32)
    x = np.clip(np.rint(patterns[y] + rng.normal(0.0, 3.0, (n, d))), 0, 16).astype(f32)
    return x, y


def epoch_seconds(epochs, repeat):
    """Best steady-state seconds per epoch, by the wall clock and by the process's CPU clock (the steadier one on
    a busy machine; one BLAS thread, so it is this thread's time): a long call less a short one, so per-call work
    does not count."""
    import wexo
    x, y = digits_like()
    m = wexo.create_categorical_model("softmax", "")  # no save file
    m = wexo.add_categorical_model_layer(m, 64, 128, "dense", "relu")
    m = wexo.add_categorical_model_layer(m, layer_type="dropout", dropout_rate=0.1)
    m = wexo.add_categorical_model_layer(m, 128, 10, "dense")
    opt = wexo.create_optimizer("adam", 0.001, 0.0)
    empty_x, empty_y = np.zeros((0, 0), f32), np.zeros(0, np.int32)

    def call(n):
        t, c = time.perf_counter(), time.process_time()
        wexo.train_categorical_model(m, opt, n, 65535, x, y, empty_x, empty_y)  # print interval 0: no lines
        return np.array([time.perf_counter() - t, time.process_time() - c])

    short = max(1, epochs // 5)
    per_epoch = [(call(epochs + short) - call(short)) / epochs for _ in range(repeat)]
    return min(w for w, _ in per_epoch), min(c for _, c in per_epoch)


def child_env(build_dir):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    env["PYTHONPATH"] = build_dir + os.pathsep + env.get("PYTHONPATH", "")
    return env


def ab(args):
    builds = {"A": args.ab[0], "B": args.ab[1]}
    bins = {"A": args.mask_bin_a, "B": args.mask_bin_b}
    best = {k: float("inf") for k in builds}
    best_cpu = {k: float("inf") for k in builds}
    mask = {k: float("inf") for k in builds}
    for _ in range(args.rounds):
        for k, build in builds.items():
            out = subprocess.run([sys.executable, __file__, "--epochs", str(args.epochs), "--repeat", "1", "--json"],
                                 env=child_env(build), check=True, capture_output=True, text=True).stdout
            figures = json.loads(out)
            best[k] = min(best[k], figures["epoch_seconds"])
            best_cpu[k] = min(best_cpu[k], figures["epoch_cpu_seconds"])
            if bins[k]:
                out = subprocess.run([bins[k], "1797", "128", "0.9", "100"], env=child_env(build), check=True,
                                     capture_output=True, text=True).stdout
                mask[k] = min(mask[k], json.loads(out)["mask_pass_cpu_ns"])
    for k, build in builds.items():
        line = f"{k} {build}: {best[k] * 1e3:.3f} ms/epoch (cpu {best_cpu[k] * 1e3:.3f} ms)"
        if bins[k]:
            line += f", mask {mask[k]:.2f} ns/element"
        print(line)
    print(f"epoch B/A: {best['B'] / best['A']:.3f} (cpu {best_cpu['B'] / best_cpu['A']:.3f})")
    if bins["A"] and bins["B"]:
        print(f"mask B/A: {mask['B'] / mask['A']:.3f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--epochs", type=int, default=200)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--ab", nargs=2, metavar=("DIR_A", "DIR_B"))
    ap.add_argument("--rounds", type=int, default=8)
    ap.add_argument("--mask-bin-a")
    ap.add_argument("--mask-bin-b")
    args = ap.parse_args()
    if args.ab:
        ab(args)
        return
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # read when wexo loads OpenBLAS, below
    wall, cpu = epoch_seconds(args.epochs, args.repeat)
    if args.json:
        print(json.dumps({"epoch_seconds": wall, "epoch_cpu_seconds": cpu}))
    else:
        print(f"digits-like, dropout 0.1: {wall * 1e3:.3f} ms/epoch (cpu {cpu * 1e3:.3f} ms)")


if __name__ == "__main__":
    main()
