"""Random arguments thrown at all eleven functions: each call succeeds or raises TypeError, OverflowError,
UnicodeEncodeError or the abort exception, and the arrays passed in never change."""
import inspect
import pathlib
import shutil
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import wexo
from support import KINDS, SANITIZED, Float, Index, Sub, dense_model, f32, i32, sgd

PARAMS = {name: list(inspect.signature(getattr(wexo, name)).parameters) for name in wexo.__all__}
# Training writes its best-parameters file; every path a drawn model holds lies in here.
FOLDER = pathlib.Path(tempfile.mkdtemp(prefix="wexo-fuzz-"))


@pytest.fixture(scope="module", autouse=True)
def folder():
    yield FOLDER
    shutil.rmtree(FOLDER, ignore_errors=True)


def mostly(valid, invalid):
    """valid four times in five: deep calls need every argument right."""
    return st.integers(0, 4).flatmap(lambda k: invalid if k == 0 else valid)


WORDS = ["linear", "softmax", "dense", "dropout", "relu", "adam", "tf_adam", "sgd", "mean_squared_error",
         "categorical_crossentropy", "categorical", "", "Dense", "relu "]
texts = mostly(st.one_of(st.sampled_from(WORDS), st.text(max_size=8)),
               st.one_of(st.text(st.characters(exclude_categories=()), max_size=8),  # lone surrogates included
                         st.sampled_from(["\ud800", "a\udfffb", "\x00", "dense\x00"])))
big_ints = st.one_of(st.integers(min_value=2**63 - 2, max_value=2**64 + 2), st.integers(min_value=2**64),
                     st.integers(max_value=-1), st.integers(min_value=2**32 - 1, max_value=2**32 + 1))
counts = mostly(st.one_of(st.integers(0, 4), st.booleans(), st.integers(0, 4).map(np.int64),
                          st.integers(0, 4).map(Index), st.just(None)),
                st.one_of(big_ints, st.floats(0, 4), st.integers(0, 4).map(np.float32), texts))
epochs = mostly(st.one_of(st.integers(0, 3), st.integers(0, 3).map(np.uint16), st.integers(0, 3).map(Index)),
                st.one_of(st.integers(65536, 2**64 + 5), st.integers(max_value=-1), st.floats(0, 3), st.none()))
print_freqs = mostly(st.integers(0, 4), st.one_of(st.integers(65536, 2**70), st.integers(max_value=-1), st.none()))
rates = mostly(st.one_of(st.floats(width=32), st.floats(), st.integers(-3, 3), st.floats(-1, 1).map(Float),
                         st.floats(-1, 1).map(np.float32), st.integers(0, 3).map(Index)),
               st.one_of(st.integers(min_value=2**1024), st.integers(max_value=-2**1024), st.just(Float("0.5")),
                         texts, st.just(None)))

DTYPES = [f32, i32, np.float64, np.int64, np.float16, np.bool_, np.uint32, np.complex64,
          np.dtype(">f4"), np.dtype(">i4"), np.dtype("<f4"), np.dtype("<i4")]
LAYOUTS = ["c", "fortran", "transposed", "reversed", "stepped", "broadcast", "readonly", "subclass", "unaligned"]


@st.composite
def arrays(draw, rank=None, dtype=None, shape=None, labels=(-2, 4)):
    """Small arrays of any rank, element type and memory layout; the logical content is drawn directly."""
    if shape is None:
        rank = draw(st.integers(0, 3)) if rank is None else rank
        shape = tuple(draw(st.lists(st.integers(0, 4), min_size=rank, max_size=rank)))
    rank = len(shape)
    dtype = np.dtype(draw(st.sampled_from(DTYPES)) if dtype is None else dtype)
    n = int(np.prod(shape, dtype=np.int64))
    if dtype.kind == "f":
        values = draw(st.lists(st.floats(-4, 4, width=32) | st.sampled_from([np.nan, np.inf, -0.0, 3e38]),
                               min_size=n, max_size=n))
    else:
        values = draw(st.lists(st.integers(max(labels[0], 0) if dtype.kind == "u" else labels[0], labels[1]),
                               min_size=n, max_size=n))
    with np.errstate(over="ignore", invalid="ignore"):  # 3e38 as float16 is meant to overflow
        logical = np.array(values, dtype=dtype.newbyteorder("=")).reshape(shape).astype(dtype)
    layout = draw(st.sampled_from(LAYOUTS))
    if layout == "fortran":
        return np.asfortranarray(logical)
    if layout == "transposed" and rank >= 2:
        return np.ascontiguousarray(logical.T).T
    if layout == "reversed" and rank >= 1:
        return logical[::-1].copy()[::-1]
    if layout == "stepped" and rank >= 1:
        wide = np.zeros((shape[0] * 2,) + shape[1:], dtype)
        wide[::2] = logical
        return wide[::2]
    if layout == "broadcast" and rank >= 1 and n > 0 and (logical == logical[:1]).all():
        return np.broadcast_to(logical[:1], shape)  # a zero stride, read-only
    if layout == "readonly":
        logical.setflags(write=False)
        return logical
    if layout == "subclass":
        return logical.view(Sub)
    if layout == "unaligned" and dtype.itemsize > 1:
        raw = np.zeros(n * dtype.itemsize + 1, np.uint8)[1:]
        view = raw.view(dtype).reshape(shape)
        view[...] = logical
        return view
    return logical


def paths(encodable=False):
    tails = texts.map(lambda t: t.replace("/", "_"))
    if encodable:
        tails = tails.map(lambda t: t.encode("utf-8", "replace").decode())
    return st.one_of(st.just(""), st.just(str(FOLDER)), st.just(str(FOLDER / "no" / "such")),
                     tails.map(lambda t: str(FOLDER / "best") + t))


@st.composite
def models(draw, kind, n_inputs=None, n_outputs=None):
    """Models of up to four layers; given n_inputs and n_outputs, a dense chain that fits data of that width."""
    create, add, default_output = KINDS[kind].create, KINDS[kind].add, KINDS[kind].output_type
    m = create(draw(mostly(st.just(default_output), st.sampled_from(["linear", "softmax", "", "relu"]))),
               draw(paths(encodable=True)))
    if n_inputs is not None:
        width = n_inputs
        for _ in range(draw(st.integers(0, 2))):
            hidden = draw(st.integers(0, 4))
            m = add(m, width, hidden, "dense", draw(st.sampled_from(["relu", ""])))
            if draw(st.booleans()):
                m = add(m, layer_type="dropout", dropout_rate=draw(st.sampled_from([0.0, 0.1, 0.5, 1.0])))
            width = hidden
        return add(m, width, n_outputs, "dense")
    for _ in range(draw(st.integers(0, 4))):
        if draw(st.integers(0, 9)) == 0:  # too big to allocate: training must abort when it initialises it
            sizes = draw(st.tuples(st.integers(2**32, 2**64 - 1), st.integers(2**32, 2**64 - 1)))
        else:
            sizes = draw(st.tuples(st.integers(0, 4), st.integers(0, 4)))
        m = add(m, *sizes, draw(st.sampled_from(["dense", "dropout", "", "Dense"])),
                draw(st.sampled_from(["relu", "", "softmax"])), draw(st.sampled_from([0.0, 0.5, 1.0, 1.5, -1.0])))
    return m


_trained = {}


def trained(kind):
    """A model trained for a few epochs, read back from its file: evaluation gets past its layers."""
    if kind not in _trained:
        path = str(FOLDER / f"trained-{kind}.json")
        x = np.array([[0.0, 1.0], [1.0, 0.0], [1.0, 1.0]], f32)
        y = np.ones(3, f32) if kind == "linear" else np.array([0, 1, 1], i32)
        KINDS[kind].train(dense_model(kind, 2, 1 if kind == "linear" else 2, path), sgd(), 3, 1, x, y, x, y)
        _trained[kind] = KINDS[kind].load(path), pathlib.Path(path)
    return _trained[kind]


optimizers = st.builds(wexo.create_optimizer, st.sampled_from(["adam", "tf_adam", "sgd", "", "SGD"]),
                       st.sampled_from([0.0, 0.01, 1.0, -1.0, float("nan"), float("inf")]),
                       st.sampled_from([0.0, 0.1, -2.0, float("nan")]))
KIND_NAMES = list(KINDS)


def file_contents():
    """Paths to trained files, their truncations, random bytes and small documents, or to nothing at all."""

    def write(content):
        path = FOLDER / f"drawn-{abs(hash(content))}.json"
        path.write_bytes(content)
        return str(path)

    return st.one_of(st.sampled_from(KIND_NAMES).map(lambda k: str(trained(k)[1])),
                     st.builds(lambda k, cut: write(trained(k)[1].read_bytes()[:cut]), st.sampled_from(KIND_NAMES),
                               st.integers(0, 2000)),
                     st.binary(max_size=40).map(write),
                     st.sampled_from([b"{}", b"[]", b'{"layers":[]}', b"null", b'[[],"linear"]']).map(write),
                     paths())


anything = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), texts, st.binary(max_size=4),
    st.lists(st.integers(0, 2), max_size=3), st.tuples(st.floats(width=32)),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2), arrays(), st.integers(0, 3).map(Index),
    st.just(object()), st.just(type(wexo.create_linear_model("", ""))), models("linear"), models("categorical"),
    optimizers, st.sampled_from(KIND_NAMES).map(lambda k: trained(k)[0]),
)


def kind_of(name):
    return "linear" if "linear" in name else "categorical"


def label_type(name):
    return KINDS[kind_of(name)].label


def plausible(name, param):
    kind = kind_of(name)
    table = {
        "output_type": texts, "save_best_params": file_contents() if name.startswith("load") else paths(),
        "layer_type": texts, "activation_type": texts, "opt_type": texts,
        "model": st.one_of(models(kind), st.just(kind).map(lambda k: trained(k)[0])), "opt": optimizers,
        "n_inputs": counts, "n_neurons": counts, "num_epochs": epochs, "print_freq": print_freqs,
        "dropout_rate": rates, "learning_rate": rates, "decay": rates,
        "x": mostly(arrays(rank=2, dtype=f32), arrays()), "val_x": mostly(arrays(rank=2, dtype=f32), arrays()),
        "y": mostly(arrays(rank=1, dtype=label_type(name)), arrays()),
        "val_y": mostly(arrays(rank=1, dtype=label_type(name)), arrays()),
    }
    return table[param]


@st.composite
def coherent(draw, name):
    """Arguments that fit each other, so that training and evaluation run their loops."""
    kind, label = kind_of(name), label_type(name)
    evaluating = name.startswith("evaluate")
    # the trained categorical model has two classes
    n_classes = 1 if kind == "linear" else 2 if evaluating else draw(st.integers(1, 3))
    labels = (0, n_classes - 1) if draw(st.integers(0, 9)) else (-1, n_classes)  # sometimes out of range
    n_samples = draw(st.integers(0, 4))
    if evaluating:
        return {"model": trained(kind)[0], "val_x": draw(arrays(dtype=f32, shape=(n_samples, 2))),
                "val_y": draw(arrays(dtype=label, shape=(n_samples,), labels=labels))}
    n_features = draw(st.integers(0, 3))
    values = {"model": draw(models(kind, n_features, n_classes)), "opt": draw(optimizers),
              "num_epochs": draw(st.integers(0, 4)), "print_freq": draw(st.integers(0, 5)),
              "x": draw(arrays(dtype=f32, shape=(n_samples, n_features))),
              "y": draw(arrays(dtype=label, shape=(n_samples,), labels=labels))}
    if draw(st.booleans()):
        values["val_x"], values["val_y"] = np.zeros((0, 0), f32), np.zeros(0, label)
    else:
        n_val = draw(st.integers(0, 4))
        values["val_x"] = draw(arrays(dtype=f32, shape=(n_val, n_features)))
        values["val_y"] = draw(arrays(dtype=label, shape=(n_val,), labels=labels))
    return values


@st.composite
def calls(draw, name):
    """(args, kwargs) for one call: mostly values of the right kind, sometimes anything, in any binding."""
    params = PARAMS[name]
    mode = draw(st.integers(0, 9))
    if mode < 5 and name.startswith(("train", "evaluate")):
        values = draw(coherent(name))
    else:
        values = {p: draw(anything if draw(st.integers(0, 2 * len(params) + 2)) == 0 else plausible(name, p))
                  for p in params}
    n_positional = draw(st.integers(0, len(params)))
    args = [values[p] for p in params[:n_positional]]
    kwargs = {p: values[p] for p in params[n_positional:]}
    if mode == 9:  # a binding error, or an optional parameter left out
        change = draw(st.integers(0, 2))
        if change == 0:
            args.append(draw(anything))  # one positional too many, or a duplicate of a keyword
        elif change == 1:
            kwargs[draw(st.sampled_from(["bogus", "\ud800", "Model", params[0]]))] = draw(anything)
        elif kwargs:
            del kwargs[draw(st.sampled_from(sorted(kwargs)))]
    return args, kwargs


def check_call(name, args, kwargs, panic):
    arrays_in = [a for a in list(args) + list(kwargs.values()) if isinstance(a, np.ndarray)]
    copies = [np.array(a, copy=True) for a in arrays_in]
    try:
        result = getattr(wexo, name)(*args, **kwargs)
    except TypeError as e:
        message = str(e)
        # binding errors name the function; conversion errors name the parameter
        assert message.startswith(f"{name}() ") or any(message.startswith(f"argument '{p}': ")
                                                       for p in PARAMS[name]), message
    except (OverflowError, UnicodeEncodeError):
        pass
    except BaseException as e:  # noqa: B036
        if type(e) is not panic:
            raise
        assert len(e.args) == 1 and isinstance(e.args[0], str) and e.args[0], e.args
    else:
        if name.startswith(("train", "evaluate")):
            assert result is None
        else:
            assert type(result).__name__ in ("LinearModel", "CategoricalModel", "DynamicOptimizer")
    for a, c in zip(arrays_in, copies):
        assert a.dtype == c.dtype and a.shape == c.shape
        assert a.tobytes() == c.tobytes()


def loads_or_aborts(path, panic):
    """Both loaders read the file at path or raise the abort exception, nothing else."""
    for load in (wexo.load_linear_model, wexo.load_categorical_model):
        try:
            load(str(path))
        except BaseException as e:  # noqa: B036
            if type(e) is not panic:
                raise


SETTINGS = settings(max_examples=40 if SANITIZED else 200, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.filter_too_much])


@pytest.mark.parametrize("name", wexo.__all__)
@SETTINGS
@given(data=st.data())
def test_random_arguments_succeed_or_raise_only_the_allowed_exceptions(panic, name, data):
    args, kwargs = data.draw(calls(name))
    check_call(name, args, kwargs, panic)


@SETTINGS
@given(content=st.binary(max_size=200))
def test_the_reader_survives_random_bytes_in_a_file(panic, content):
    path = FOLDER / "random.json"
    path.write_bytes(content)
    loads_or_aborts(path, panic)


REGRESSIONS = sorted((pathlib.Path(__file__).parent.parent / "fuzz" / "regressions").glob("*"))


@pytest.mark.parametrize("path", REGRESSIONS, ids=[p.name for p in REGRESSIONS])
def test_fuzzer_findings_load_or_abort(panic, path):
    loads_or_aborts(path, panic)


VALID_EMPTY = ('{"layers":[],"output_type":"linear","loss_type":"mean_squared_error","acc_type":"linear",'
               '"acc_precision":1.0,"save_best_params":""}')


@pytest.mark.parametrize("kind", KIND_NAMES)
def test_training_refuses_a_path_with_a_nul_byte(tmp_path, capfd, panic, kind):
    # the operating system cannot receive such a path; the part before the NUL is a file nobody named
    cut = tmp_path / "best"
    x = np.array([[0.0], [1.0]], f32)
    m = dense_model(kind, 1, 1 if kind == "linear" else 2, str(cut) + "\x00.json")
    y = np.array([1.0, 3.0], f32) if kind == "linear" else np.array([0, 1], i32)
    with pytest.raises(panic):
        KINDS[kind].train(m, sgd(0.5), 5, 1, x, y, x, y)
    assert not cut.exists()


@pytest.mark.parametrize("load", [wexo.load_linear_model, wexo.load_categorical_model])
def test_loading_refuses_a_path_with_a_nul_byte(tmp_path, panic, load):
    cut = tmp_path / "best"
    cut.write_text(VALID_EMPTY)  # what the cut path would find
    with pytest.raises(panic):
        load(str(cut) + "\x00other.json")
