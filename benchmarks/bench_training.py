"""Per-epoch cost of full-batch training: wexo against an idiomatic NumPy float32 version and PyTorch (CPU).

    python benchmarks/bench_training.py [--quick] [--mode MODE]

Modes (every figure is a ratio measured in the same run; the machine may be shared, so only the ratios mean much):
  steady     (default) per-epoch cost after a warm-up in one process: spiral, digits-like, sine and 60000x784
             against NumPy and PyTorch (when installed)
  load       starts one busy process of its own, then per-epoch cost of the small workloads and the wall time of
             both examples with the default OpenBLAS threads against OPENBLAS_NUM_THREADS=1, in alternating
             subprocesses; also 60000x784 default against one thread without the busy process
  fresh      60000x784: one 5-epoch training call in a fresh process that first builds the data, against the NumPy
             script doing the same in a fresh process; with the call's peak memory growth over the process before it
  crossover  each product of the workloads on one thread, on threads started for it and in parts, without and with
             a busy process (where threads pay; needs bench_gemm_threads, built with the C++ tests)
  parts      whole epochs whose mid-size products a training call cuts into parts, and sine's, which it does not:
             default threads against OPENBLAS_NUM_THREADS=1 on a quiet machine

All workloads use the same network, optimizer and data in every implementation.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

STARTED = time.monotonic()  # before NumPy loads: see the epoch worker's warm-up

import numpy as np  # noqa: E402

import wexo  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import classify  # noqa: E402

f32 = np.float32


def spiral():
    x, y = classify.spiral()  # the example's data set
    return x.astype(f32), y.astype(np.int32)


def mnist_like(n=60000, d=784, classes=10, seed=0):
    rng = np.random.default_rng(seed)
    centers = rng.normal(0.0, 1.0, (classes, d)).astype(f32)
    y = rng.integers(0, classes, n).astype(np.int32)
    x = np.empty((n, d), f32)
    for i in range(0, n, 4096):  # in blocks: the float64 noise of the whole set would dwarf what training uses
        j = min(n, i + 4096)
        x[i:j] = centers[y[i:j]] + rng.normal(0.0, 2.0, (j - i, d))
    return x, y


def digits_like():
    """The shape of scikit-learn's handwritten digits: 1797 samples of 64 pixels in [0, 1], 10 classes."""
    x, y = mnist_like(n=1797, d=64, seed=1)
    return np.clip(0.5 + 0.1 * x, 0.0, 1.0).astype(f32), y


def sine():
    rng = np.random.default_rng(0)
    x = rng.uniform(-np.pi, np.pi, (1000, 1)).astype(f32)
    return x, (np.sin(x[:, 0]) + rng.normal(0.0, 0.1, 1000)).astype(f32)


# name -> (data, layer sizes, dropout fraction after the first hidden layer, kind)
WORKLOADS = {
    "spiral": (spiral, [2, 64, 3], 0.0, "categorical"),
    "digits": (digits_like, [64, 128, 10], 0.1, "categorical"),
    "sine": (sine, [1, 64, 64, 1], 0.0, "linear"),
    "mnist": (mnist_like, [784, 128, 10], 0.0, "categorical"),
    # mid-size products (n x 128 x 128) that a training call cuts into parts
    "wide1000": (lambda: mnist_like(n=1000, d=128, seed=2), [128, 128, 10], 0.0, "categorical"),
    "wide4000": (lambda: mnist_like(n=4000, d=128, seed=2), [128, 128, 10], 0.0, "categorical"),
}


def wexo_model(sizes, dropout=0.0, kind="categorical"):
    create, add = ((wexo.create_categorical_model, wexo.add_categorical_model_layer) if kind == "categorical" else
                   (wexo.create_linear_model, wexo.add_linear_model_layer))
    m = create("softmax" if kind == "categorical" else "linear", "")  # no save file
    for i, (a, b) in enumerate(zip(sizes, sizes[1:])):
        m = add(m, a, b, "dense", "relu" if i < len(sizes) - 2 else "")
        if i == 0 and dropout > 0:
            m = add(m, layer_type="dropout", dropout_rate=dropout)
    return m


def wexo_call(x, y, sizes, dropout=0.0, kind="categorical"):
    """call(n): one training call of n epochs without progress lines or validation."""
    m = wexo_model(sizes, dropout, kind)
    opt = wexo.create_optimizer("adam", 0.001, 0.0)
    train = wexo.train_categorical_model if kind == "categorical" else wexo.train_linear_model
    empty_x, empty_y = np.zeros((0, 0), f32), np.zeros(0, y.dtype)
    return lambda n: train(m, opt, n, 65535, x, y, empty_x, empty_y)  # print interval 0: no lines


def time_wexo(x, y, sizes, epochs, dropout=0.0, kind="categorical", repeat=1):
    """Steady-state seconds per epoch: the difference between a long and a short call, so the per-call work
    (copying the arrays in, initialising the layers, first-touch of the buffers) does not count. Each call is
    repeated and its fastest time kept before the difference is taken: the fastest of several differences would
    favour a short call that another process delayed."""
    run = wexo_call(x, y, sizes, dropout, kind)

    def call(n):
        best = float("inf")
        for _ in range(repeat):
            t = time.perf_counter()
            run(n)
            best = min(best, time.perf_counter() - t)
        return best

    short = max(1, epochs // 5)
    return (call(epochs + short) - call(short)) / epochs


def time_numpy(x, y, sizes, epochs, dropout=0.0, kind="categorical"):
    """Idiomatic vectorised float32 NumPy: the same forward, loss, accuracy, backward and Adam."""
    rng = np.random.default_rng(0)
    params = []
    for a, b in zip(sizes, sizes[1:]):
        params += [(0.01 * rng.standard_normal((a, b))).astype(f32), np.zeros(b, f32)]
    m = [np.zeros_like(p) for p in params]
    v = [np.zeros_like(p) for p in params]
    lr, b1, b2, eps = f32(0.001), f32(0.9), f32(0.999), f32(1e-7)
    n = len(y)
    keep = f32(1.0 - dropout)
    onehot = np.eye(sizes[-1], dtype=f32)[y] if kind == "categorical" else None
    t0 = time.perf_counter()
    for epoch in range(1, epochs + 1):
        acts, h, mask = [x], x, None
        for i in range(0, len(params), 2):
            h = h @ params[i] + params[i + 1]
            if i < len(params) - 2:
                h = np.maximum(h, 0)
                if i == 0 and dropout > 0:
                    mask = (rng.random(h.shape, dtype=f32) < keep) / keep
                    h = h * mask
            acts.append(h)
        if kind == "categorical":
            e = np.exp(h - h.max(axis=1, keepdims=True))
            p = e / e.sum(axis=1, keepdims=True)
            _ = -np.log(np.clip(p[np.arange(n), y], 1e-7, 1 - 1e-7)).mean()
            _ = (p.argmax(axis=1) == y).mean()  # the accuracy every epoch reports, as in the other two
            g = (p - onehot) / n
        else:
            d = h[:, 0] - y
            _ = (d * d).mean()
            _ = (np.abs(d) < y.std() / 250).mean()
            g = (2.0 / n * d)[:, None].astype(f32)
        grads = [None] * len(params)
        for i in range(len(params) - 2, -1, -2):
            a = acts[i // 2]
            grads[i], grads[i + 1] = a.T @ g, g.sum(axis=0)
            if i > 0:
                g = (g @ params[i].T) * (acts[i // 2] > 0)
                if i == 2 and mask is not None:
                    g = g * mask
        c1, c2 = 1 - b1 ** epoch, 1 - b2 ** epoch
        for k, (pk, gk) in enumerate(zip(params, grads)):
            m[k] = b1 * m[k] + (1 - b1) * gk
            v[k] = b2 * v[k] + (1 - b2) * gk * gk
            pk -= lr * (m[k] / c1) / (np.sqrt(v[k] / c2) + eps)
    return (time.perf_counter() - t0) / epochs


def time_torch(x, y, sizes, epochs, dropout=0.0, kind="categorical"):
    import torch
    torch.set_num_threads(int(os.environ.get("OPENBLAS_NUM_THREADS", os.cpu_count())))
    layers = []
    for i, (a, b) in enumerate(zip(sizes, sizes[1:])):
        layers.append(torch.nn.Linear(a, b))
        if i < len(sizes) - 2:
            layers.append(torch.nn.ReLU())
            if i == 0 and dropout > 0:
                layers.append(torch.nn.Dropout(dropout))
    net = torch.nn.Sequential(*layers)
    opt = torch.optim.Adam(net.parameters(), lr=0.001, eps=1e-7)
    xt = torch.from_numpy(x)
    if kind == "categorical":
        yt, loss_fn = torch.from_numpy(y.astype(np.int64)), torch.nn.CrossEntropyLoss()
    else:
        yt, loss_fn = torch.from_numpy(y[:, None]), torch.nn.MSELoss()
    t0 = time.perf_counter()
    for _ in range(epochs):
        opt.zero_grad(set_to_none=True)
        out = net(xt)
        loss = loss_fn(out, yt)
        loss.backward()
        opt.step()
        if kind == "categorical":
            _ = (out.argmax(1) == yt).float().mean().item()
    return (time.perf_counter() - t0) / epochs


def sgemm():
    """scipy_cblas_sgemm of the OpenBLAS wexo links, called through ctypes: c <- op(a) op(b)."""
    import ctypes
    import scipy_openblas32
    lib = ctypes.CDLL(os.path.join(scipy_openblas32.get_lib_dir(), "libscipy_openblas.so"))
    f = lib.scipy_cblas_sgemm
    f.restype = None
    ptr = ctypes.c_void_p

    def call(a, ta, b, tb, c):
        m, k = (a.shape[1], a.shape[0]) if ta else a.shape
        n = b.shape[0] if tb else b.shape[1]
        f(101, 112 if ta else 111, 112 if tb else 111, m, n, k, ctypes.c_float(1.0), ptr(a.ctypes.data), a.shape[1],
          ptr(b.ctypes.data), b.shape[1], ctypes.c_float(0.0), ptr(c.ctypes.data), n)
    return call


def time_gemms(x, sizes, epochs):
    """The products one wexo epoch needs, alone, through the same OpenBLAS: X W per layer, then a^T g per layer and
    g W^T for every layer but the first."""
    gemm, n = sgemm(), len(x)
    mats = [np.full((a, b), 0.01, f32) for a, b in zip(sizes, sizes[1:])]
    acts = [x] + [np.zeros((n, b), f32) for b in sizes[1:]]
    grads = [np.ones((n, b), f32) for b in sizes]
    dws = [np.zeros_like(w) for w in mats]
    t0 = time.perf_counter()
    for _ in range(epochs):
        for i, w in enumerate(mats):
            gemm(acts[i], False, w, False, acts[i + 1])
        for i in range(len(mats) - 1, -1, -1):
            gemm(acts[i], True, grads[i + 1], False, dws[i])
            if i > 0:
                gemm(grads[i + 1], False, mats[i], True, grads[i])
    return (time.perf_counter() - t0) / epochs


def have_torch():
    try:
        import torch  # noqa: F401
        return True
    except ImportError:
        return False


def steady(quick):
    torch = have_torch()
    rows = []
    # An epoch of a small workload takes microseconds: the best of a few long runs, so that one preempted stretch
    # does not decide
    for name, e in (("spiral", 2000), ("digits", 400), ("sine", 1000)):
        make, sizes, dropout, kind = WORKLOADS[name]
        x, y = make()
        e = e // 10 if quick else e
        w = time_wexo(x, y, sizes, 10 * e, dropout, kind, repeat=3)
        npy = min(time_numpy(x, y, sizes, e, dropout, kind) for _ in range(2))
        tt = time_torch(x, y, sizes, e // 4, dropout, kind) if torch else float("nan")
        rows.append((f"{name} {x.shape[0]}x{x.shape[1]}, {'-'.join(map(str, sizes))}", w, npy, tt, float("nan")))

    x, y = mnist_like(n=6000 if quick else 60000)
    e = 2 if quick else 5
    sizes = [784, 128, 10]
    time_wexo(x, y, sizes, 1)  # warm-up: first-touch of the buffers and BLAS threads
    # best of two each: a shared machine slows single runs by up to 2x
    w = time_wexo(x, y, sizes, e, repeat=2)
    npy = min(time_numpy(x, y, sizes, e) for _ in range(2))
    tt = min(time_torch(x, y, sizes, e) for _ in range(2)) if torch else float("nan")
    g = min(time_gemms(x, sizes, e) for _ in range(2))
    rows.append((f"{len(y)}x784, 784-128-10", w, npy, tt, g))

    print(f"{'workload':28} {'wexo s/ep':>10} {'numpy s/ep':>11} {'torch s/ep':>11} {'gemms s/ep':>11} "
          f"{'numpy/wexo':>11} {'torch/wexo':>11} {'wexo/gemms':>11}")
    for name, w, npy, tt, g in rows:
        print(f"{name:28} {w:10.6f} {npy:11.6f} {tt:11.6f} {g:11.6f} {npy / w:11.2f} {tt / w:11.2f} {w / g:11.2f}")
    if not torch:
        print("(PyTorch is not installed: its columns are NaN)")


# ---- modes that run workers in subprocesses ----

HERE = os.path.abspath(__file__)
EXAMPLES = os.path.join(os.path.dirname(HERE), "..", "examples")


def run_worker(args, env_extra=None):
    """Runs this file as a worker subprocess; returns (its JSON result, its wall seconds)."""
    env = dict(os.environ)
    env.update(env_extra or {})
    t = time.perf_counter()
    out = subprocess.run([sys.executable, HERE, "--worker", *args], env=env, check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out.strip().splitlines()[-1]), time.perf_counter() - t


def run_script(path, env_extra=None):
    env = dict(os.environ)
    env.update(env_extra or {})
    t = time.perf_counter()
    subprocess.run([sys.executable, path], env=env, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - t


def peak_reset():
    """Resets the process's peak resident size (VmHWM); False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def status_kib(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def worker(argv):
    """--worker epoch NAME EPOCHS | --worker fresh wexo|numpy|torch"""
    what = argv[0]
    if what == "epoch":
        make, sizes, dropout, kind = WORKLOADS[argv[1]]
        x, y = make()
        e = int(argv[2])
        # Warm-up, until a quarter of a second after start: NumPy's own OpenBLAS (not wexo's) keeps a worker thread
        # spinning for about 0.1 s after `import numpy` under its default threads, which beside a busy process
        # would share the measuring core (one run in five then showed the spiral's default-threads epoch 1.5x).
        time_wexo(x, y, sizes, max(1, e // 5), dropout, kind)
        while time.monotonic() - STARTED < 0.25:
            time_wexo(x, y, sizes, max(1, e // 5), dropout, kind)
        best = time_wexo(x, y, sizes, e, dropout, kind, repeat=3)
        result = {"epoch": best}
    else:  # fresh: build the data, then one 5-epoch call, timed and its memory growth measured
        impl = argv[1]
        x, y = mnist_like()
        reset = peak_reset()
        before = status_kib("VmRSS")
        cpu = os.times()
        t = time.perf_counter()
        if impl == "wexo":
            wexo_call(x, y, [784, 128, 10])(5)
        elif impl == "numpy":
            time_numpy(x, y, [784, 128, 10], 5)
        else:
            time_torch(x, y, [784, 128, 10], 5)
        wall = time.perf_counter() - t
        after = os.times()
        result = {"call": wall, "user": after.user - cpu.user, "system": after.system - cpu.system,
                  "growth": (status_kib("VmHWM") - before) * 1024 if reset else float("nan"), "x_bytes": x.nbytes}
    print(json.dumps(result))


class Busy:
    """One process of its own keeping one core busy, for as long as the block runs."""

    def __enter__(self):
        self.proc = subprocess.Popen([sys.executable, "-c", "while True: pass"])
        time.sleep(0.5)
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait()


ONE_THREAD = {"OPENBLAS_NUM_THREADS": "1"}


def load(quick):
    rounds = 2 if quick else 3
    with Busy():
        rows = default_against_one((("spiral", 2000), ("digits", 200), ("sine", 500)), rounds, quick,
                                   "one busy process")
        for script in ("regress.py", "classify.py"):
            d = o = float("inf")
            for _ in range(2 * rounds + 2):  # whole runs swing by a third, at times by half, from one to the next
                d = min(d, run_script(os.path.join(EXAMPLES, script)))
                o = min(o, run_script(os.path.join(EXAMPLES, script), ONE_THREAD))
            rows.append((f"examples/{script}, whole run, one busy process", d, o))
    e = "2" if quick else "5"
    d = o = float("inf")
    for _ in range(2):
        d = min(d, run_worker(["epoch", "mnist", e])[0]["epoch"])
        o = min(o, run_worker(["epoch", "mnist", e], ONE_THREAD)[0]["epoch"])
    rows.append(("60000x784, per epoch, no busy process", d, o))
    print_default_against_one(rows)


def default_against_one(workloads, rounds, quick, where):
    """Per-epoch cost with the default threads and with OPENBLAS_NUM_THREADS=1, in alternating fresh processes, the
    best of each."""
    rows = []
    for name, e in workloads:
        e = e // 4 if quick else e
        d = o = float("inf")
        for _ in range(rounds):
            d = min(d, run_worker(["epoch", name, str(e)])[0]["epoch"])
            o = min(o, run_worker(["epoch", name, str(e)], ONE_THREAD)[0]["epoch"])
        rows.append((f"{name}, per epoch, {where}", d, o))
    return rows


def print_default_against_one(rows):
    print(f"{'workload':52} {'default s':>10} {'1 thread s':>11} {'default/1':>10}")
    for name, d, o in rows:
        print(f"{name:52} {d:10.6f} {o:11.6f} {d / o:10.2f}")


def parts(quick):
    """Whole epochs whose products a training call cuts into parts (digits-like 1797x64x128, n x 128 x 128) and one
    whose products stay on the caller (sine, 1000x64x64), default threads against one, quiet."""
    print_default_against_one(default_against_one(
        (("sine", 500), ("digits", 200), ("wide1000", 200), ("wide4000", 50)), 5 if not quick else 2, quick,
        "no busy process"))


def fresh(quick):
    impls = ["wexo", "numpy"] + (["torch"] if have_torch() else [])
    best = {i: None for i in impls}
    ratios = []
    # Alternating fresh processes, each round starting with the next implementation (a process that follows a large
    # one finds the machine in another state), the fastest call of each and the median of the rounds' ratios.
    for r in range(2 if quick else 5):
        calls = {}
        for i in impls[r % len(impls):] + impls[:r % len(impls)]:
            res, wall = run_worker(["fresh", i])
            res["process"] = wall
            calls[i] = res["call"]
            if best[i] is None or res["call"] < best[i]["call"]:
                best[i] = res
        ratios.append(calls["wexo"] / calls["numpy"])
    print(f"{'60000x784, one 5-epoch call':28} {'call s':>8} {'user s':>7} {'sys s':>7} {'process s':>10} "
          f"{'peak growth MiB':>16} {'growth / x':>11}")
    for i, r in best.items():
        print(f"{i:28} {r['call']:8.3f} {r['user']:7.2f} {r['system']:7.2f} {r['process']:10.2f} "
              f"{r['growth'] / 2**20:16.0f} {r['growth'] / r['x_bytes']:11.2f}")
    print(f"wexo call / numpy call: fastest {best['wexo']['call'] / best['numpy']['call']:.2f}, "
          f"median of the rounds {statistics.median(ratios):.2f} ({', '.join(f'{q:.2f}' for q in ratios)})")


def crossover(quick):
    """Each product of the workloads through OpenBLAS on the calling thread alone, on OpenBLAS's parallel jobs run by
    threads started for that product, and cut into parts shared with a training call's helpers: first as the
    machine is, then beside one busy process.
    Runs bench_gemm_threads, built with the C++ tests (WEXO_BENCH_GEMM_THREADS names another binary)."""
    exe = os.environ.get("WEXO_BENCH_GEMM_THREADS",
                         os.path.join(os.path.dirname(HERE), "..", "build", "tests", "bench_gemm_threads"))
    budget = "0.3" if quick else "1.5"
    print("-- no busy process of ours", flush=True)
    subprocess.run([exe, budget], check=True)
    with Busy():
        print("-- one busy process", flush=True)
        subprocess.run([exe, budget], check=True)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        return worker(sys.argv[2:])
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer epochs and rounds (a smoke run)")
    ap.add_argument("--mode", choices=["steady", "load", "fresh", "crossover", "parts"], default="steady")
    args = ap.parse_args()
    {"steady": steady, "load": load, "fresh": fresh, "crossover": crossover, "parts": parts}[args.mode](args.quick)


if __name__ == "__main__":
    main()
