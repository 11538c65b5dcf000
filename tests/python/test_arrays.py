"""Array arguments: which objects are accepted, the messages for the rest, and copies in logical order from
any memory layout, without ever writing to the caller's arrays."""
import numpy as np
import pytest

import wexo
from support import Sub, f32, i32, sgd

RNG = np.random.default_rng(7)
X = RNG.normal(size=(5, 4)).astype(f32)
Y_LINEAR = RNG.normal(size=5).astype(f32)
Y_CLASSES = np.array([0, 1, 2, 3, 1], i32)


def make_linear():
    return wexo.create_linear_model("linear", "")


def make_categorical():
    return wexo.create_categorical_model("softmax", "")


# (function, parameter names in order, the valid arrays for them)
def evaluate_linear(*arrays):
    return wexo.evaluate_linear_model(make_linear(), *arrays)


def evaluate_categorical(*arrays):
    return wexo.evaluate_categorical_model(make_categorical(), *arrays)


def train_linear(*arrays):
    return wexo.train_linear_model(make_linear(), sgd(0.0), 1, 1, *arrays)


def train_categorical(*arrays):
    return wexo.train_categorical_model(make_categorical(), sgd(0.0), 1, 1, *arrays)


CALLS = [
    (evaluate_linear, ["val_x", "val_y"], [X, Y_LINEAR]),
    (evaluate_categorical, ["val_x", "val_y"], [X, Y_CLASSES]),
    (train_linear, ["x", "y", "val_x", "val_y"], [X, Y_LINEAR, X, Y_LINEAR]),
    (train_categorical, ["x", "y", "val_x", "val_y"], [X, Y_CLASSES, X, Y_CLASSES]),
]
CALL_IDS = [c[0].__name__ for c in CALLS]


def each_argument():
    for call, names, valid in CALLS:
        for i, name in enumerate(names):
            yield pytest.param(call, i, name, valid, id=f"{call.__name__}-{name}")


def refusal(call, args):
    with pytest.raises(TypeError) as info:
        call(*args)
    return str(info.value)


# ---- refused objects ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("call,i,name,valid", list(each_argument()))
@pytest.mark.parametrize("obj,type_name", [([[1.0]], "list"), ((1.0,), "tuple"), (1.0, "float"),
                                           (f32(1), "float32"), (memoryview(b"ab"), "memoryview"),
                                           (None, "NoneType")])
def test_non_arrays_are_refused_naming_both_types(call, i, name, valid, obj, type_name):
    args = list(valid)
    args[i] = obj
    assert refusal(call, args) == f"argument '{name}': '{type_name}' object is not an instance of 'ndarray'"


@pytest.mark.parametrize("call,i,name,valid", list(each_argument()))
def test_wrong_rank_is_refused(call, i, name, valid):
    args = list(valid)
    rank = valid[i].ndim
    for wrong in (valid[i].reshape(-1, 1) if rank == 1 else valid[i].ravel(), valid[i][None], valid[i].ravel()[0]):
        if wrong.ndim == rank:
            continue
        args[i] = np.asarray(wrong)
        assert refusal(call, args) == f"argument '{name}': dimensionality mismatch:\n from={wrong.ndim}, to={rank}"


WRONG_DTYPES = ["float64", "float16", "int64", "int16", "uint32", "bool", "object", "complex64", ">f4", ">i4",
                "float32", "int32"]


@pytest.mark.parametrize("call,i,name,valid,dtype", [
    pytest.param(*p.values, dtype, id=f"{p.id}-{dtype}") for p in each_argument() for dtype in WRONG_DTYPES
    if np.dtype(dtype) != p.values[3][p.values[1]].dtype])
def test_wrong_element_type_is_refused(call, i, name, valid, dtype):
    args = list(valid)
    args[i] = valid[i].astype(dtype)
    wanted = valid[i].dtype
    assert refusal(call, args) == f"argument '{name}': type mismatch:\n from={np.dtype(dtype)}, to={wanted}"


def test_byte_swapped_arrays_name_their_byte_order():
    msg = refusal(evaluate_linear, [X.astype(">f4"), Y_LINEAR])
    assert msg == "argument 'val_x': type mismatch:\n from=>f4, to=float32"


def test_python_lists_of_ints_become_int64_and_are_refused_as_labels():
    labels = np.array([0, 1, 2, 3, 1])
    msg = refusal(evaluate_categorical, [X, labels])
    assert msg == f"argument 'val_y': type mismatch:\n from={labels.dtype}, to=int32"


def test_checks_run_in_the_order_type_rank_element_type():
    assert "not an instance of 'ndarray'" in refusal(evaluate_linear, [[1.0], Y_LINEAR])
    assert "dimensionality mismatch" in refusal(evaluate_linear, [np.zeros(3), Y_LINEAR])  # float64 and rank 1
    assert "type mismatch" in refusal(evaluate_linear, [np.zeros((3, 1)), Y_LINEAR])


@pytest.mark.parametrize("call,names,valid", CALLS, ids=CALL_IDS)
def test_only_the_first_bad_array_is_reported(call, names, valid):
    bad = [np.zeros((1, 1, 1), np.float64)] * len(valid)
    assert refusal(call, bad).startswith(f"argument '{names[0]}': dimensionality mismatch")
    args = list(valid)
    args[-1], args[-2] = "last", "second to last"
    assert refusal(call, args).startswith(f"argument '{names[-2]}': 'str' object")


# ---- accepted layouts ---------------------------------------------------------------------------------------

def misaligned(a):
    buf = bytearray(a.nbytes + 1)
    out = np.frombuffer(buf, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    return out


def strided(a):
    big = np.zeros(tuple(2 * n for n in a.shape), a.dtype)
    view = big[(slice(None, None, 2),) * a.ndim]
    view[...] = a
    return view


def read_only(a):
    b = a.copy()
    b.flags.writeable = False
    return b


LAYOUTS = {
    "fortran": np.asfortranarray,
    "transposed view": lambda a: np.ascontiguousarray(a.T).T,
    "reversed rows": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "reversed columns": lambda a: np.ascontiguousarray(a[..., ::-1])[..., ::-1],
    "every other element": strided,
    "misaligned": misaligned,
    "subclass": lambda a: a.copy().view(Sub),
    "read-only": read_only,
    "broadcast row": lambda a: np.broadcast_to(a[:1], a.shape),
}
RANK1_LAYOUTS = ["reversed rows", "every other element", "misaligned", "subclass", "read-only", "broadcast row"]


def output(capfd, call, args):
    """What a call prints on fd 1 and how it ends; the same for equal logical contents."""
    capfd.readouterr()
    try:
        call(*args)
        outcome = None
    except BaseException as e:  # noqa: B036
        assert not isinstance(e, TypeError), e
        outcome = (type(e).__name__, str(e))
    return capfd.readouterr().out, outcome


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("call,names,valid", CALLS[:2], ids=CALL_IDS[:2])
def test_any_layout_stands_for_the_same_logical_array(capfd, call, names, valid, layout):
    make = LAYOUTS[layout]
    for i, a in enumerate(valid):
        if a.ndim == 1 and layout not in RANK1_LAYOUTS:
            continue
        args = list(valid)
        args[i] = make(a)
        assert np.array_equal(args[i], np.ascontiguousarray(args[i]))
        reference = list(valid)
        reference[i] = np.ascontiguousarray(args[i])
        expected = output(capfd, call, reference)
        assert output(capfd, call, args) == expected, names[i]


def test_evaluation_output_depends_on_the_data(capfd):
    # the layout comparisons above are only meaningful if the report reads the arrays
    first = output(capfd, evaluate_categorical, [X, Y_CLASSES])
    assert first[0] != "" and first[1] is None, first
    assert output(capfd, evaluate_categorical, [X[::-1].copy(), Y_CLASSES]) != first
    assert output(capfd, evaluate_linear, [X, Y_LINEAR[::-1].copy()]) != output(capfd, evaluate_linear, [X, Y_LINEAR])


@pytest.mark.parametrize("shape", [(0, 0), (0, 4)])
@pytest.mark.parametrize("call,names,valid", CALLS[:2], ids=CALL_IDS[:2])
def test_arrays_without_elements_are_accepted(capfd, call, names, valid, shape):
    x = np.zeros(shape, f32)
    out, outcome = output(capfd, call, [x, valid[1][:0]])
    assert outcome is None
    assert len(out.splitlines()) == 1  # the summary alone


@pytest.mark.parametrize("call,names,valid", CALLS, ids=CALL_IDS)
def test_arrays_passed_in_are_never_written(capfd, call, names, valid):
    args = [np.asfortranarray(a) if a.ndim == 2 else a[::-1].copy()[::-1] for a in valid]
    before = [a.tobytes(order="A") for a in args]
    output(capfd, call, args)
    output(capfd, call, [args[0], args[1]] * (len(args) // 2))  # the same arrays as x and val_x, y and val_y
    assert [a.tobytes(order="A") for a in args] == before


def test_numpy_is_imported_at_the_first_array_argument(run_python):
    r = run_python("""
        import sys
        import wexo
        wexo.add_linear_model_layer(wexo.create_linear_model("linear", ""), 1, 1, "dense")
        print("numpy" in sys.modules)
        try:
            wexo.evaluate_linear_model(wexo.create_linear_model("linear", ""), [], [])
        except TypeError as e:
            print(e)
        print("numpy" in sys.modules)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["False", "argument 'val_x': 'list' object is not an instance of 'ndarray'",
                                     "True"]
