"""Per-epoch cost of full-batch training: wexo against an idiomatic NumPy float32 version and PyTorch (CPU).

    python benchmarks/bench_training.py [--quick]

Both workloads use the same network, optimizer and data in every implementation. Figures are seconds per epoch and
ratios measured in the same run; the machine is shared, so only the ratios mean much.
"""
import argparse
import os
import sys
import time

import numpy as np

import wexo

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
    x = (centers[y] + rng.normal(0.0, 2.0, (n, d))).astype(f32)
    return x, y


def time_wexo(x, y, sizes, epochs):
    """Steady-state seconds per epoch: the difference between a long and a short call, so the per-call work
    (copying the arrays in, initialising the layers, first-touch of the buffers) does not count."""
    m = wexo.create_categorical_model("softmax", "")  # no save file
    for i, (a, b) in enumerate(zip(sizes, sizes[1:])):
        m = wexo.add_categorical_model_layer(m, a, b, "dense", "relu" if i < len(sizes) - 2 else "")
    opt = wexo.create_optimizer("adam", 0.001, 0.0)
    empty_x, empty_y = np.zeros((0, 0), f32), np.zeros(0, np.int32)

    def call(n):
        t = time.perf_counter()
        wexo.train_categorical_model(m, opt, n, 65535, x, y, empty_x, empty_y)  # print interval 0: no lines
        return time.perf_counter() - t

    short = max(1, epochs // 5)
    return (call(epochs + short) - call(short)) / epochs


def time_numpy(x, y, sizes, epochs):
    """Idiomatic vectorised float32 NumPy: the same forward, cross-entropy, accuracy, backward and Adam."""
    rng = np.random.default_rng(0)
    params = []
    for a, b in zip(sizes, sizes[1:]):
        params += [(0.01 * rng.standard_normal((a, b))).astype(f32), np.zeros(b, f32)]
    m = [np.zeros_like(p) for p in params]
    v = [np.zeros_like(p) for p in params]
    lr, b1, b2, eps = f32(0.001), f32(0.9), f32(0.999), f32(1e-7)
    n = len(y)
    onehot = np.eye(sizes[-1], dtype=f32)[y]
    t0 = time.perf_counter()
    for epoch in range(1, epochs + 1):
        acts, h = [x], x
        for i in range(0, len(params), 2):
            h = h @ params[i] + params[i + 1]
            if i < len(params) - 2:
                h = np.maximum(h, 0)
            acts.append(h)
        e = np.exp(h - h.max(axis=1, keepdims=True))
        p = e / e.sum(axis=1, keepdims=True)
        _ = -np.log(np.clip(p[np.arange(n), y], 1e-7, 1 - 1e-7)).mean()
        _ = (p.argmax(axis=1) == y).mean()  # the accuracy every epoch reports, as in the other two
        g = (p - onehot) / n
        grads = [None] * len(params)
        for i in range(len(params) - 2, -1, -2):
            a = acts[i // 2]
            grads[i], grads[i + 1] = a.T @ g, g.sum(axis=0)
            if i > 0:
                g = (g @ params[i].T) * (acts[i // 2] > 0)
        c1, c2 = 1 - b1 ** epoch, 1 - b2 ** epoch
        for k, (pk, gk) in enumerate(zip(params, grads)):
            m[k] = b1 * m[k] + (1 - b1) * gk
            v[k] = b2 * v[k] + (1 - b2) * gk * gk
            pk -= lr * (m[k] / c1) / (np.sqrt(v[k] / c2) + eps)
    return (time.perf_counter() - t0) / epochs


def time_torch(x, y, sizes, epochs):
    import torch
    torch.set_num_threads(int(os.environ.get("OPENBLAS_NUM_THREADS", os.cpu_count())))
    layers = []
    for i, (a, b) in enumerate(zip(sizes, sizes[1:])):
        layers.append(torch.nn.Linear(a, b))
        if i < len(sizes) - 2:
            layers.append(torch.nn.ReLU())
    net = torch.nn.Sequential(*layers)
    opt = torch.optim.Adam(net.parameters(), lr=0.001, eps=1e-7)
    xt, yt = torch.from_numpy(x), torch.from_numpy(y.astype(np.int64))
    loss_fn = torch.nn.CrossEntropyLoss()
    t0 = time.perf_counter()
    for _ in range(epochs):
        opt.zero_grad(set_to_none=True)
        logits = net(xt)
        loss = loss_fn(logits, yt)
        loss.backward()
        opt.step()
        _ = (logits.argmax(1) == yt).float().mean().item()
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


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer epochs (a smoke run)")
    args = ap.parse_args()
    try:
        import torch  # noqa: F401
        have_torch = True
    except ImportError:
        have_torch = False

    rows = []
    x, y = spiral()
    e = 200 if args.quick else 2000
    sizes = [2, 64, 3]
    # An epoch here takes microseconds: the best of a few long runs, so that one preempted stretch does not decide
    w = min(time_wexo(x, y, sizes, 10 * e) for _ in range(3))
    npy = min(time_numpy(x, y, sizes, e) for _ in range(2))
    tt = time_torch(x, y, sizes, e // 4) if have_torch else float("nan")
    rows.append(("spiral 300x2, 2-64-3", w, npy, tt, float("nan")))

    x, y = mnist_like(n=6000 if args.quick else 60000)
    e = 2 if args.quick else 5
    sizes = [784, 128, 10]
    time_wexo(x, y, sizes, 1)  # warm-up: first-touch of the buffers and BLAS threads
    # best of two each: a shared machine slows single runs by up to 2x
    w = min(time_wexo(x, y, sizes, e) for _ in range(2))
    npy = min(time_numpy(x, y, sizes, e) for _ in range(2))
    tt = min(time_torch(x, y, sizes, e) for _ in range(2)) if have_torch else float("nan")
    g = min(time_gemms(x, sizes, e) for _ in range(2))
    rows.append((f"{len(y)}x784, 784-128-10", w, npy, tt, g))

    print(f"{'workload':28} {'wexo s/ep':>10} {'numpy s/ep':>11} {'torch s/ep':>11} {'gemms s/ep':>11} "
          f"{'numpy/wexo':>11} {'torch/wexo':>11} {'wexo/gemms':>11}")
    for name, w, npy, tt, g in rows:
        print(f"{name:28} {w:10.6f} {npy:11.6f} {tt:11.6f} {g:11.6f} {npy / w:11.2f} {tt / w:11.2f} {w / g:11.2f}")


if __name__ == "__main__":
    main()
