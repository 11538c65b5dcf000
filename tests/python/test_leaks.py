"""Leaks: long loops of every function, succeeding and failing, leave reference counts and memory as they were."""
import contextlib
import os
import sys

import numpy as np
import pytest

import wexo
from support import SANITIZED, f32, i32

# Under the sanitizers every call is many times slower and freed memory is held back on purpose.
SCALE = 50 if SANITIZED else 1
CHEAP, FILE, TRAIN = 100_000 // SCALE, 20_000 // SCALE, 2_000 // SCALE
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


@contextlib.contextmanager
def quiet():
    """fd 1 and 2 to /dev/null: the loops print reports and abort diagnostics by the thousand."""
    saved = [os.dup(1), os.dup(2)]
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        yield
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in saved + [null]:
            os.close(fd)


class World:
    """Every object the calls take, made once so that their reference counts can be watched."""

    def __init__(self, folder):
        self.lin_path = str(folder / "linear.json")
        self.cat_path = str(folder / "categorical.json")
        self.bad_path = str(folder / "bad.json")
        with open(self.bad_path, "w") as f:
            f.write('{"layers":[{"layer_type":"dense"')
        self.missing_path = str(folder / "missing.json")
        self.wrong_type_path = str(folder / "wrong_type.json")
        with open(self.wrong_type_path, "w") as f:
            f.write('{"layers":5,"output_type":"softmax"}')
        self.empty_path = str(folder / "empty.json")
        open(self.empty_path, "w").close()
        # fresh objects, not the interpreter's cached small ints or interned strings
        self.texts = ["".join(["lin", "ear"]), "".join(["soft", "max"]), "".join(["den", "se"]), "".join(["re", "lu"])]
        self.numbers = [int("1000000000001"), float("0.015625"), float("0.25")]
        self.x = np.linspace(-1, 1, 12, dtype=f32).reshape(4, 3)
        self.x_fortran = np.asfortranarray(self.x)
        self.x_narrow = self.x[:, :2]
        self.empty_x = np.zeros((0, 0), f32)
        self.y_lin = np.array([0.5, -0.25, 1.0, 0.0], f32)
        self.y_cat = np.array([0, 1, 2, 1], i32)
        self.y_bad_class = np.array([0, 7, 2, 1], i32)
        self.y_f64 = self.y_lin.astype(np.float64)
        self.y_lin_empty, self.y_cat_empty, self.y_cat_short = self.y_lin[:0], self.y_cat[:0], self.y_cat[:2]
        lin = wexo.create_linear_model(self.texts[0], self.lin_path)
        lin = wexo.add_linear_model_layer(lin, 3, 4, self.texts[2], self.texts[3])
        lin = wexo.add_linear_model_layer(lin, layer_type="dropout", dropout_rate=self.numbers[2])
        self.lin = wexo.add_linear_model_layer(lin, 4, 1, self.texts[2])
        cat = wexo.create_categorical_model(self.texts[1], self.cat_path)
        cat = wexo.add_categorical_model_layer(cat, 3, 4, self.texts[2], self.texts[3])
        self.cat = wexo.add_categorical_model_layer(cat, 4, 3, self.texts[2])
        cat = wexo.create_categorical_model(self.texts[1], str(folder / "categorical_dropout.json"))
        cat = wexo.add_categorical_model_layer(cat, 3, 4, self.texts[2], self.texts[3])
        cat = wexo.add_categorical_model_layer(cat, layer_type="dropout", dropout_rate=self.numbers[2])
        self.cat_dropout = wexo.add_categorical_model_layer(cat, 4, 3, self.texts[2])
        self.opt = wexo.create_optimizer("adam", self.numbers[1], self.numbers[2])
        self.tf_adam = wexo.create_optimizer("tf_adam", self.numbers[1], self.numbers[2])
        self.sgd = wexo.create_optimizer("sgd", self.numbers[1], self.numbers[2])
        with quiet():
            wexo.train_linear_model(self.lin, self.opt, 5, 1, self.x, self.y_lin, self.x, self.y_lin)
            wexo.train_categorical_model(self.cat, self.opt, 5, 1, self.x, self.y_cat, self.x, self.y_cat)
        self.lin_loaded = wexo.load_linear_model(self.lin_path)
        self.cat_loaded = wexo.load_categorical_model(self.cat_path)
        # a file that lacks only its last byte
        self.cut_path = str(folder / "cut.json")
        with open(self.lin_path, "rb") as f, open(self.cut_path, "wb") as cut:
            cut.write(f.read()[:-1])

    def watched(self):
        objects = [self.lin, self.cat, self.cat_dropout, self.lin_loaded, self.cat_loaded, self.opt, self.tf_adam,
                   self.sgd, self.x, self.x_fortran, self.x_narrow, self.empty_x, self.y_lin, self.y_cat,
                   self.y_bad_class, self.y_f64, self.y_lin_empty, self.y_cat_empty, self.y_cat_short, *self.texts,
                   *self.numbers]
        # each instance holds a reference to its heap type: the type's count is the number of live instances
        objects += [type(self.lin), type(self.cat), type(self.opt)]
        return objects


# (id, function name, arguments from the world, count, outcome: None, an exception type, or "abort")
CASES = [
    ("ok", "create_linear_model", lambda w: (w.texts[0], w.lin_path), CHEAP, None),
    ("not_str", "create_linear_model", lambda w: (w.numbers[0], w.lin_path), CHEAP, TypeError),
    ("surrogate", "create_linear_model", lambda w: (w.texts[0], "\ud800"), CHEAP, UnicodeEncodeError),
    ("ok", "create_categorical_model", lambda w: (w.texts[1], w.cat_path), CHEAP, None),
    ("missing", "create_categorical_model", lambda w: (w.texts[1],), CHEAP, TypeError),
    ("ok", "add_linear_model_layer", lambda w: (w.lin, w.numbers[0], 3, w.texts[2], w.texts[3], w.numbers[1]),
     CHEAP, None),
    ("negative", "add_linear_model_layer", lambda w: (w.lin, 3, -1), CHEAP, OverflowError),
    ("wrong_model", "add_linear_model_layer", lambda w: (w.cat, 3, 1), CHEAP, TypeError),
    ("ok", "add_categorical_model_layer", lambda w: (w.cat, 4, 3, w.texts[2]), CHEAP, None),
    ("bad_rate", "add_categorical_model_layer", lambda w: (w.cat, 4, 3, w.texts[2], None, w.texts[0]), CHEAP,
     TypeError),
    ("negative", "add_categorical_model_layer", lambda w: (w.cat, 3, -1), CHEAP, OverflowError),
    ("ok", "create_optimizer", lambda w: ("tf_adam", w.numbers[1], w.numbers[2]), CHEAP, None),
    ("huge_rate", "create_optimizer", lambda w: ("sgd", 10**400, w.numbers[2]), CHEAP, OverflowError),
    ("ok", "train_linear_model", lambda w: (w.lin, w.opt, 2, 1, w.x, w.y_lin, w.x_fortran, w.y_lin), TRAIN, None),
    ("print_freq_0", "train_linear_model", lambda w: (w.lin, w.opt, 2, 0, w.x, w.y_lin, w.x, w.y_lin), CHEAP,
     "abort"),
    ("short_val_y", "train_linear_model", lambda w: (w.lin, w.opt, 2, 1, w.x, w.y_lin, w.x, w.y_lin[:2]), TRAIN,
     "abort"),
    ("f64", "train_linear_model", lambda w: (w.lin, w.opt, 2, 1, w.x, w.y_lin, w.x, w.y_f64), CHEAP, TypeError),
    ("tf_adam", "train_linear_model", lambda w: (w.lin, w.tf_adam, 2, 1, w.x, w.y_lin, w.x, w.y_lin), TRAIN, None),
    ("sgd", "train_linear_model", lambda w: (w.lin, w.sgd, 2, 1, w.x, w.y_lin, w.x, w.y_lin), TRAIN, None),
    ("loaded_no_val", "train_linear_model",
     lambda w: (w.lin_loaded, w.opt, 2, 1, w.x, w.y_lin, w.empty_x, w.y_lin_empty), TRAIN, None),
    ("columns", "train_linear_model", lambda w: (w.lin, w.opt, 2, 1, w.x_narrow, w.y_lin, w.x, w.y_lin), TRAIN,
     "abort"),
    ("too_many_epochs", "train_linear_model", lambda w: (w.lin, w.opt, 70000, 1, w.x, w.y_lin, w.x, w.y_lin),
     CHEAP, OverflowError),
    ("not_optimizer", "train_linear_model", lambda w: (w.lin, w.texts[0], 2, 1, w.x, w.y_lin, w.x, w.y_lin),
     CHEAP, TypeError),
    ("ok", "train_categorical_model", lambda w: (w.cat, w.opt, 2, 1, w.x, w.y_cat, w.x, w.y_cat), TRAIN, None),
    ("bad_class", "train_categorical_model", lambda w: (w.cat, w.opt, 2, 1, w.x, w.y_bad_class, w.x, w.y_cat),
     TRAIN, "abort"),
    ("too_many_epochs", "train_categorical_model", lambda w: (w.cat, w.opt, 70000, 1, w.x, w.y_cat, w.x, w.y_cat),
     CHEAP, OverflowError),
    ("tf_adam_dropout", "train_categorical_model",
     lambda w: (w.cat_dropout, w.tf_adam, 2, 1, w.x, w.y_cat, w.x, w.y_cat), TRAIN, None),
    ("sgd_dropout", "train_categorical_model", lambda w: (w.cat_dropout, w.sgd, 2, 1, w.x, w.y_cat, w.x, w.y_cat),
     TRAIN, None),
    ("loaded_no_val", "train_categorical_model",
     lambda w: (w.cat_loaded, w.opt, 2, 1, w.x, w.y_cat, w.empty_x, w.y_cat_empty), TRAIN, None),
    ("print_freq_0", "train_categorical_model", lambda w: (w.cat, w.opt, 2, 0, w.x, w.y_cat, w.x, w.y_cat), CHEAP,
     "abort"),
    ("short_val_y", "train_categorical_model", lambda w: (w.cat, w.opt, 2, 1, w.x, w.y_cat, w.x, w.y_cat_short),
     TRAIN, "abort"),
    ("columns", "train_categorical_model", lambda w: (w.cat, w.opt, 2, 1, w.x_narrow, w.y_cat, w.x, w.y_cat),
     TRAIN, "abort"),
    ("not_optimizer", "train_categorical_model", lambda w: (w.cat, w.texts[1], 2, 1, w.x, w.y_cat, w.x, w.y_cat),
     CHEAP, TypeError),
    ("ok", "load_linear_model", lambda w: (w.lin_path,), FILE, None),
    ("ok", "evaluate_linear_model", lambda w: (w.lin_loaded, w.x_fortran, w.y_lin), FILE, None),
    ("no_weights", "evaluate_linear_model", lambda w: (w.lin, w.x, w.y_lin), FILE, "abort"),
    ("columns", "evaluate_linear_model", lambda w: (w.lin_loaded, w.x_narrow, w.y_lin), FILE, "abort"),
    ("f64", "evaluate_linear_model", lambda w: (w.lin_loaded, w.x, w.y_f64), CHEAP, TypeError),
    ("ok", "load_categorical_model", lambda w: (w.cat_path,), FILE, None),
    ("wrong_type", "load_categorical_model", lambda w: (w.wrong_type_path,), FILE, "abort"),
    ("ok", "evaluate_categorical_model", lambda w: (w.cat_loaded, w.x, w.y_cat), FILE, None),
    ("bad_class", "evaluate_categorical_model", lambda w: (w.cat_loaded, w.x, w.y_bad_class), FILE, "abort"),
    ("no_weights", "evaluate_categorical_model", lambda w: (w.cat, w.x, w.y_cat), FILE, "abort"),
    ("columns", "evaluate_categorical_model", lambda w: (w.cat_loaded, w.x_narrow, w.y_cat), FILE, "abort"),
    ("f64", "evaluate_categorical_model", lambda w: (w.cat_loaded, w.x, w.y_f64), CHEAP, TypeError),
    ("not_array", "evaluate_categorical_model", lambda w: (w.cat_loaded, w.x, [0, 1, 2, 1]), CHEAP, TypeError),
]
# files that neither loader reads
CASES += [(case, f"load_{kind}_model", lambda w, path=path: (getattr(w, path),), FILE, "abort")
          for kind in ("linear", "categorical")
          for case, path in [("truncated", "bad_path"), ("missing", "missing_path"), ("empty", "empty_path"),
                             ("cut_at_the_end", "cut_path")]]


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    return World(tmp_path_factory.mktemp("leaks"))


def loop(call, args, n, expected):
    for _ in range(n):
        try:
            call(*args)
        except expected:
            pass


def test_every_function_has_a_succeeding_and_a_failing_case():
    names = {c[1] for c in CASES}
    assert names == set(wexo.__all__)
    for name in names:
        outcomes = [c[4] for c in CASES if c[1] == name]
        assert None in outcomes and any(o is not None for o in outcomes), name


@pytest.mark.parametrize("case", CASES, ids=[f"{c[1]}-{c[0]}" for c in CASES])
def test_a_long_loop_leaves_reference_counts_and_memory_unchanged(world, panic, case):
    _, name, make_args, n, outcome = case
    call = getattr(wexo, name)
    args = make_args(world)
    expected = panic if outcome == "abort" else (outcome or ())
    arrays_before = [a.copy() for a in args if isinstance(a, np.ndarray)]
    with quiet():
        # the outcome is what the case says, once, with nothing swallowed
        if outcome is None:
            call(*args)
        else:
            with pytest.raises(expected):
                call(*args)
        loop(call, args, max(n // 10, 10), expected)  # allocator caches and lazily made objects settle here
        counts = [sys.getrefcount(o) for o in world.watched()]
        nones = sys.getrefcount(None)
        before = rss()
        loop(call, args, n, expected)
        after = rss()
    assert [sys.getrefcount(o) for o in world.watched()] == counts
    # None is referred to from everywhere; a lost or extra reference per call would move it by n
    assert abs(sys.getrefcount(None) - nones) < n // 2
    assert all(np.array_equal(a, b) for a, b in zip(arrays_before, [a for a in args if isinstance(a, np.ndarray)]))
    if not SANITIZED:
        # a leak of a single small allocation per call would show as about n * 32 bytes
        assert after - before < max(n * 8, 256 * 1024), f"RSS grew by {(after - before) >> 10} KiB in {n} calls"
