"""Thread control: OPENBLAS_NUM_THREADS=1 means no thread besides the caller's, and training leaves OpenBLAS's own
thread setting as it found it."""
import os
import subprocess
import sys
import time

import pytest

# Trains a network whose first product (4096 x 512 x 256 multiply-adds) OpenBLAS would split over its threads,
# with a validation pass and an evaluation, then prints the process's thread count and OpenBLAS's setting.
# A joined thread can stay listed in /proc for a moment after its join: counts taken after training wait for it.
SETTLED = """
import os, time
def settled_tasks(expected):
    for _ in range(1000):
        if len(os.listdir("/proc/self/task")) <= expected:
            break
        time.sleep(0.001)
    return len(os.listdir("/proc/self/task"))
"""

CODE = SETTLED + """
import ctypes
import numpy as np
import scipy_openblas32
import wexo

blas = ctypes.CDLL(os.path.join(scipy_openblas32.get_lib_dir(), "libscipy_openblas.so"))
before = blas.scipy_openblas_get_num_threads()
tasks = len(os.listdir("/proc/self/task"))  # NumPy's own BLAS may have workers too
rng = np.random.default_rng(0)
x = rng.standard_normal((4096, 512), dtype=np.float32)
y = rng.integers(0, 4, 4096).astype(np.int32)
m = wexo.create_categorical_model("softmax", "")
m = wexo.add_categorical_model_layer(m, 512, 256, "dense", "relu")
m = wexo.add_categorical_model_layer(m, 256, 4, "dense")
wexo.train_categorical_model(m, wexo.create_optimizer("adam", 0.001, 0.0), 2, 1, x, y, x[:100], y[:100])
print(tasks, settled_tasks(tasks), before, blas.scipy_openblas_get_num_threads())
"""


def last_line(result):
    assert result.returncode == 0, result.stderr
    return [int(v) for v in result.stdout.strip().splitlines()[-1].split()]


def test_one_blas_thread_means_no_extra_thread(run_python):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    _, threads, before, after = last_line(run_python(CODE, env))
    assert (threads, before, after) == (1, 1, 1)


@pytest.mark.parametrize("setting", [None, "2"])
def test_training_restores_the_blas_thread_setting(run_python, setting):
    env = dict(os.environ)
    env.pop("OPENBLAS_NUM_THREADS", None)
    if setting is not None:
        env["OPENBLAS_NUM_THREADS"] = setting
    tasks, threads, before, after = last_line(run_python(CODE, env))
    assert after == before  # the small products ran with one thread, and the setting came back
    assert threads == tasks  # OpenBLAS starts its workers when it loads; training adds none


# Trains with products large enough for threads (8192 x 1024 x 256 multiply-adds forward, the same for the weight
# gradient) while the parent samples the child's thread count; prints the count when training ends.
WATCHED = SETTLED + """
import sys
import numpy as np
import wexo
rng = np.random.default_rng(0)
x = rng.standard_normal((8192, 1024), dtype=np.float32)
y = rng.integers(0, 4, 8192).astype(np.int32)
m = wexo.create_categorical_model("softmax", "")
m = wexo.add_categorical_model_layer(m, 1024, 256, "dense", "relu")
m = wexo.add_categorical_model_layer(m, 256, 4, "dense")
empty = np.zeros((0, 0), np.float32)
tasks = len(os.listdir("/proc/self/task"))
print(tasks, flush=True)
wexo.train_categorical_model(m, wexo.create_optimizer("adam", 0.001, 0.0), 6, 65535, x, y, empty, y[:0])
print(settled_tasks(tasks), flush=True)
"""


def watch_threads(setting):
    """(threads before training, the most seen while it ran, threads after it)"""
    env = dict(os.environ, OPENBLAS_NUM_THREADS=setting)
    proc = subprocess.Popen([sys.executable, "-c", WATCHED], env=env, stdout=subprocess.PIPE, text=True)
    try:
        before = int(proc.stdout.readline())
        most = 0
        while proc.poll() is None:
            try:
                most = max(most, len(os.listdir(f"/proc/{proc.pid}/task")))
            except FileNotFoundError:  # it just ended
                break
            time.sleep(0.001)  # a product's threads live for tens of milliseconds
        after = int(proc.stdout.readline())
    finally:
        proc.kill()
        proc.wait()
    return before, most, after


def test_one_blas_thread_means_no_thread_ever_appears_during_training():
    assert watch_threads("1") == (1, 1, 1)


def test_threads_exist_only_while_a_large_product_runs():
    # the sampler does see the product's threads, and they are gone when training ends
    before, most, after = watch_threads("2")
    assert most > before
    assert after == before


# Imports wexo (which loads OpenBLAS), trains through a product too large for wexo's own kernels, waits, and prints
# the CPU clock ticks used by the threads that appeared since NumPy settled, and OPENBLAS_THREAD_TIMEOUT afterwards.
SPIN = """
import os, time
import numpy as np
def ticks():
    def used(t):
        with open(f"/proc/self/task/{t}/stat") as f:
            return sum(int(v) for v in f.read().rsplit(")", 1)[1].split()[11:13])
    return {t: used(t) for t in os.listdir("/proc/self/task")}
time.sleep(0.3)  # NumPy's own BLAS workers spin for a while after it loads
known = set(ticks())
import wexo
x = np.ones((512, 64), np.float32)
m = wexo.add_linear_model_layer(wexo.create_linear_model("linear", ""), 64, 64, "dense")
m = wexo.add_linear_model_layer(m, 64, 1, "dense")
wexo.train_linear_model(m, wexo.create_optimizer("sgd", 0.001, 0.0), 1, 1, x, x[:, 0], np.zeros((0, 0), np.float32), x[:0, 0])
time.sleep(0.3)
print(sum(v for t, v in ticks().items() if t not in known), os.environ.get("OPENBLAS_THREAD_TIMEOUT", "unset"))
"""


@pytest.mark.parametrize("setting", [None, "28"])
def test_openblas_workers_sleep_instead_of_spinning(run_python, setting):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="2")
    env.pop("OPENBLAS_THREAD_TIMEOUT", None)
    if setting is not None:
        env["OPENBLAS_THREAD_TIMEOUT"] = setting
    result = run_python(SPIN, env)
    assert result.returncode == 0, result.stderr
    spun, timeout = result.stdout.split()[-2:]
    assert timeout == (setting or "unset")  # the environment is left as it was
    if setting is None:
        assert int(spun) <= 3  # spinning for its default 2^28 clock ticks took about 10
