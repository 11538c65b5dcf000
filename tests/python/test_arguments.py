"""Argument binding and conversion: CPython's wording for binding errors, the "argument '<name>': " prefix,
integer ranges, float-likes, strings, and model and optimizer classes."""
import inspect
import json

import numpy as np
import pytest

import wexo
from support import KINDS, Float, Index, dense_model, error, sgd

FUNCTIONS = list(wexo.__all__)
F32_2 = np.zeros((1, 1), np.float32)
F32_1 = np.zeros(1, np.float32)
I32_1 = np.zeros(1, np.int32)


def params_of(name):
    return list(inspect.signature(getattr(wexo, name)).parameters.values())


def quoted(names):
    q = [f"'{n}'" for n in names]
    if len(q) <= 2:
        return " and ".join(q)
    return ", ".join(q[:-1]) + ", and " + q[-1]


class Raises:
    """An int-like and float-like whose conversion raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        raise self.exc


class Spy:
    """Records whether anything tried to convert it."""

    def __init__(self):
        self.touched = False

    def __index__(self):
        self.touched = True
        return 1

    def __float__(self):
        self.touched = True
        return 1.0


# ---- binding ------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("name", FUNCTIONS)
def test_too_many_positional_arguments(name):
    params = params_of(name)
    n, n_required = len(params), sum(p.default is inspect.Parameter.empty for p in params)
    takes = f"{n}" if n == n_required else f"from {n_required} to {n}"
    plural = "" if n == 1 else "s"
    with pytest.raises(TypeError) as info:
        getattr(wexo, name)(*[None] * (n + 1))
    assert str(info.value) == f"{name}() takes {takes} positional argument{plural} but {n + 1} were given"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_unexpected_keyword_argument(name):
    with pytest.raises(TypeError) as info:
        getattr(wexo, name)(bogus=1)
    assert str(info.value) == f"{name}() got an unexpected keyword argument 'bogus'"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_value_given_by_position_and_keyword(name):
    first = params_of(name)[0].name
    with pytest.raises(TypeError) as info:
        getattr(wexo, name)(None, **{first: None})
    assert str(info.value) == f"{name}() got multiple values for argument '{first}'"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_every_missing_argument_is_named(name):
    required = [p.name for p in params_of(name) if p.default is inspect.Parameter.empty]
    plural = "" if len(required) == 1 else "s"
    with pytest.raises(TypeError) as info:
        getattr(wexo, name)()
    assert str(info.value) == f"{name}() missing {len(required)} required positional argument{plural}: " \
                              f"{quoted(required)}"


def test_missing_arguments_exclude_those_given_by_keyword(linear):
    with pytest.raises(TypeError) as info:
        wexo.train_linear_model(linear, x=F32_2, val_y=F32_1)
    assert str(info.value) == ("train_linear_model() missing 5 required positional arguments: "
                               "'opt', 'num_epochs', 'print_freq', 'y', and 'val_x'")


def test_keywords_that_are_not_identifiers_are_unexpected():
    with pytest.raises(TypeError) as info:
        wexo.load_linear_model(**{"\udc80": 1})
    assert "got an unexpected keyword argument" in str(info.value)
    with pytest.raises(TypeError, match="unexpected keyword argument 'save_best_params '"):
        wexo.load_linear_model(**{"save_best_params ": "x"})


def test_binding_errors_come_before_any_conversion():
    spy = Spy()
    with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
        wexo.create_optimizer("adam", spy, spy, spy)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'decay'"):
        wexo.create_optimizer(1, spy)
    assert not spy.touched


def test_every_parameter_can_be_given_by_keyword(linear):
    m = wexo.add_linear_model_layer(dropout_rate=0.5, activation_type="relu", layer_type="dense", n_neurons=2,
                                    n_inputs=1, model=linear)
    assert type(m) is type(linear)
    opt = wexo.create_optimizer(decay=0.0, learning_rate=0.1, opt_type="sgd")
    with pytest.raises(TypeError, match="^argument 'val_y': "):
        wexo.train_linear_model(val_y=None, val_x=F32_2, y=F32_1, x=F32_2, print_freq=1, num_epochs=1, opt=opt,
                                model=m)


# ---- None for "=None" parameters ---------------------------------------------------------------------------

def test_none_counts_as_omitted_for_optional_parameters(linear):
    for m in (wexo.add_linear_model_layer(linear),
              wexo.add_linear_model_layer(linear, None, None, None, None, None),
              wexo.add_linear_model_layer(linear, n_inputs=3, n_neurons=None, layer_type="dense",
                                          activation_type=None, dropout_rate=None)):
        assert type(m) is type(linear) and m is not linear


@pytest.mark.parametrize("call,name", [
    (lambda: wexo.create_linear_model(None, ""), "output_type"),
    (lambda: wexo.create_optimizer("adam", None, 0.0), "learning_rate"),
    (lambda: wexo.load_categorical_model(None), "save_best_params"),
    (lambda: wexo.add_linear_model_layer(None), "model"),
])
def test_none_is_a_value_for_required_parameters(call, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': .*NoneType"):
        call()


# ---- strings ------------------------------------------------------------------------------------------------

class Str(str):
    pass


@pytest.mark.parametrize("value", ["", "linear", "h\u00e9llo \u2603 \U0001f600", "a\0b", Str("sub"), np.str_("numpy")])
def test_strings_are_accepted(value, linear):
    assert type(wexo.create_linear_model(value, value)) is type(linear)
    assert type(wexo.add_linear_model_layer(linear, layer_type=value, activation_type=value)) is type(linear)
    wexo.create_optimizer(value, 0.1, 0.0)


@pytest.mark.parametrize("value,type_name", [(1, "int"), (b"linear", "bytes"), (["a"], "list"),
                                             (np.array(["a"]), "ndarray")])
@pytest.mark.parametrize("call,name", [
    (lambda v: wexo.create_linear_model(v, ""), "output_type"),
    (lambda v: wexo.create_categorical_model("softmax", v), "save_best_params"),
    (lambda v: wexo.add_categorical_model_layer(wexo.create_categorical_model("softmax", ""), layer_type=v),
     "layer_type"),
    (lambda v: wexo.add_linear_model_layer(wexo.create_linear_model("linear", ""), activation_type=v),
     "activation_type"),
    (lambda v: wexo.create_optimizer(v, 0.1, 0.0), "opt_type"),
    (lambda v: wexo.load_linear_model(v), "save_best_params"),
])
def test_non_strings_are_refused_naming_both_types(call, name, value, type_name):
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value) == f"argument '{name}': '{type_name}' object is not an instance of 'str'"


@pytest.mark.parametrize("call", [
    lambda: wexo.create_linear_model("lin\udc80ear", ""),
    lambda: wexo.create_optimizer("\ud800", 0.1, 0.0),
    lambda: wexo.add_linear_model_layer(wexo.create_linear_model("linear", ""), layer_type="\udfff"),
    lambda: wexo.load_categorical_model("/tmp/\udc80"),
])
def test_lone_surrogates_raise_the_interpreters_encode_error(call):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert not str(info.value).startswith("argument")


# ---- floats -------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("value", [0.1, 2, True, -0.0, float("nan"), float("inf"), 1e300, 10**30, np.float64(0.3),
                                   np.float32(0.3), np.int64(-4), np.uint8(7), Float(0.25), Index(3)])
def test_float_likes_are_accepted(value, linear):
    wexo.create_optimizer("adam", value, value)
    wexo.add_linear_model_layer(linear, dropout_rate=value)


@pytest.mark.parametrize("value,message", [
    ("0.1", "must be real number, not str"),
    (b"1", "must be real number, not bytes"),
    (1j, None),  # the wording differs between interpreter versions
    ([1.0], "must be real number, not list"),
    (Float("x"), None),  # __float__ returning a non-float: the interpreter's own TypeError
])
@pytest.mark.parametrize("call,name", [
    (lambda v: wexo.create_optimizer("adam", v, 0.0), "learning_rate"),
    (lambda v: wexo.create_optimizer("adam", 0.1, v), "decay"),
    (lambda v: wexo.add_linear_model_layer(wexo.create_linear_model("linear", ""), dropout_rate=v),
     "dropout_rate"),
])
def test_non_float_likes_are_refused(call, name, value, message):
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value).startswith(f"argument '{name}': ")
    if message is not None:
        assert str(info.value) == f"argument '{name}': {message}"


def test_ints_beyond_the_double_range_keep_the_interpreters_overflow_error():
    with pytest.raises(OverflowError) as info:
        wexo.create_optimizer("adam", 10**400, 0.0)
    assert not str(info.value).startswith("argument")


# ---- integers -----------------------------------------------------------------------------------------------

@pytest.mark.parametrize("value", [0, 1, 2**64 - 1, True, False, np.uint64(2**64 - 1), np.int8(3), Index(5)])
def test_u64_sizes_accept_index_objects(value, linear):
    m = wexo.add_linear_model_layer(linear, n_inputs=value, n_neurons=value)
    assert type(m) is type(linear)


@pytest.mark.parametrize("value", [-1, 2**64, -2**70, Index(-1), np.int64(-1)])
@pytest.mark.parametrize("name", ["n_inputs", "n_neurons"])
def test_u64_sizes_out_of_range_raise_the_interpreters_overflow_error(linear, name, value):
    with pytest.raises(OverflowError) as info:
        wexo.add_linear_model_layer(linear, **{name: value})
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("value,type_name", [(2.0, "float"), ("3", "str"), (np.float32(1), "numpy.float32"),
                                             (Float(1.0), "Float"), (1j, "complex")])
@pytest.mark.parametrize("name", ["n_inputs", "n_neurons"])
def test_u64_sizes_refuse_non_integers(name, value, type_name):
    with pytest.raises(TypeError) as info:
        wexo.add_categorical_model_layer(wexo.create_categorical_model("softmax", ""), **{name: value})
    assert str(info.value) == f"argument '{name}': '{type_name}' object cannot be interpreted as an integer"


def train_call(num_epochs=1, print_freq=1):
    """A training call whose arrays are all refused, so that accepting the counts ends in TypeError for x."""
    return lambda: wexo.train_linear_model(wexo.create_linear_model("linear", ""), sgd(), num_epochs, print_freq,
                                           "x", "y", "val_x", "val_y")


@pytest.mark.parametrize("value", [0, 1, 65535, True, np.uint16(65535), np.int64(7), Index(65535)])
@pytest.mark.parametrize("name", ["num_epochs", "print_freq"])
def test_u16_counts_accept_0_to_65535(name, value):
    e = error(train_call(**{name: value}))
    assert type(e) is TypeError and str(e).startswith("argument 'x': "), e


@pytest.mark.parametrize("value", [65536, -1, 70000, 2**63 - 1, -2**63, np.int64(-1), Index(65536)])
@pytest.mark.parametrize("name", ["num_epochs", "print_freq"])
def test_u16_counts_out_of_range(name, value):
    with pytest.raises(OverflowError) as info:
        train_call(**{name: value})()
    assert str(info.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize("value", [2**63, -2**63 - 1, 10**30])
@pytest.mark.parametrize("name", ["num_epochs", "print_freq"])
def test_u16_counts_beyond_64_bits_raise_the_interpreters_overflow_error(name, value):
    with pytest.raises(OverflowError) as info:
        train_call(**{name: value})()
    assert str(info.value) != "out of range integral type conversion attempted"
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("name", ["num_epochs", "print_freq"])
def test_u16_counts_refuse_floats(name):
    with pytest.raises(TypeError) as info:
        train_call(**{name: 3.0})()
    assert str(info.value) == f"argument '{name}': 'float' object cannot be interpreted as an integer"


# ---- models and optimizers ---------------------------------------------------------------------------------

@pytest.mark.parametrize("call,name,passed,expected", [
    (lambda c, l, o: wexo.add_linear_model_layer(c), "model", "CategoricalModel", "LinearModel"),
    (lambda c, l, o: wexo.add_categorical_model_layer(l), "model", "LinearModel", "CategoricalModel"),
    (lambda c, l, o: wexo.add_linear_model_layer(o), "model", "DynamicOptimizer", "LinearModel"),
    (lambda c, l, o: wexo.add_linear_model_layer(1), "model", "int", "LinearModel"),
    (lambda c, l, o: wexo.train_linear_model(c, o, 1, 1, F32_2, F32_1, F32_2, F32_1), "model",
     "CategoricalModel", "LinearModel"),
    (lambda c, l, o: wexo.train_linear_model(l, l, 1, 1, F32_2, F32_1, F32_2, F32_1), "opt",
     "LinearModel", "DynamicOptimizer"),
    (lambda c, l, o: wexo.train_categorical_model(c, "adam", 1, 1, F32_2, I32_1, F32_2, I32_1), "opt",
     "str", "DynamicOptimizer"),
    (lambda c, l, o: wexo.evaluate_linear_model(c, F32_2, F32_1), "model", "CategoricalModel", "LinearModel"),
    (lambda c, l, o: wexo.evaluate_categorical_model(o, F32_2, I32_1), "model", "DynamicOptimizer",
     "CategoricalModel"),
])
def test_objects_of_another_class_are_refused(categorical, linear, optimizer, call, name, passed, expected):
    with pytest.raises(TypeError) as info:
        call(categorical, linear, optimizer)
    assert str(info.value) == f"argument '{name}': '{passed}' object is not an instance of '{expected}'"


def test_layer_functions_return_a_new_object(linear, categorical):
    for add, m in ((wexo.add_linear_model_layer, linear), (wexo.add_categorical_model_layer, categorical)):
        a, b = add(m, 1, 2, "dense"), add(m, 1, 2, "dense")
        assert a is not m and b is not m and a is not b
        assert type(a) is type(m)


# ---- order of conversion, the prefix rule and the cause -----------------------------------------------------

def test_first_failed_conversion_ends_the_call(linear):
    spy = Spy()
    with pytest.raises(OverflowError):
        wexo.add_linear_model_layer(linear, -1, spy, 5, 6, spy)
    with pytest.raises(TypeError, match="^argument 'opt_type': "):
        wexo.create_optimizer(1, spy, spy)
    assert not spy.touched


def test_keywords_are_converted_in_signature_order(linear):
    with pytest.raises(OverflowError):
        wexo.add_linear_model_layer(dropout_rate="bad", layer_type=1, n_inputs=-1, model=linear)
    with pytest.raises(TypeError, match="^argument 'layer_type': "):
        wexo.add_linear_model_layer(dropout_rate="bad", layer_type=1, n_inputs=1, model=linear)


@pytest.mark.parametrize("call,name", [
    (lambda v: wexo.add_linear_model_layer(wexo.create_linear_model("linear", ""), n_neurons=v), "n_neurons"),
    (lambda v: wexo.create_optimizer("sgd", 0.1, v), "decay"),
    (lambda v: train_call(print_freq=v)(), "print_freq"),
])
def test_a_type_error_gets_the_prefix_and_keeps_its_cause(call, name):
    root = ValueError("root")
    inner = TypeError("inner message")
    inner.__cause__ = root
    with pytest.raises(TypeError) as info:
        call(Raises(inner))
    assert type(info.value) is TypeError and info.value is not inner
    assert str(info.value) == f"argument '{name}': inner message"
    assert info.value.__cause__ is root

    with pytest.raises(TypeError) as info:
        call(Raises(TypeError("plain")))
    assert str(info.value) == f"argument '{name}': plain" and info.value.__cause__ is None


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("exc", [MyTypeError("sub"), ValueError("value"), ZeroDivisionError("zero"),
                                 KeyboardInterrupt("stop")])
@pytest.mark.parametrize("call", [
    lambda v: wexo.add_linear_model_layer(wexo.create_linear_model("linear", ""), n_inputs=v),
    lambda v: wexo.create_optimizer("sgd", v, 0.0),
    lambda v: train_call(num_epochs=v)(),
])
def test_other_exceptions_from_conversions_pass_through_unchanged(call, exc):
    with pytest.raises(BaseException) as info:
        call(Raises(exc))
    assert info.value is exc


# ---- what reaches the record ------------------------------------------------------------------------------

def trained_file(model, path):
    """Trains long enough that the loss improves and the best-parameters file is written; returns its JSON."""
    x = np.ones((64, 1), np.float32)
    if type(model).__name__ == "LinearModel":
        y = np.ones(64, np.float32)
        wexo.train_linear_model(model, sgd(), 20, 1, x, y, x[:0, :0], y[:0])
    else:
        y = np.zeros(64, np.int32)
        wexo.train_categorical_model(model, sgd(0.5), 20, 1, x, y, x[:0, :0], y[:0])
    with open(path) as f:
        return json.load(f)


@pytest.mark.parametrize("rate", [0.25, 1 / 3, Float(0.1), 0, False, np.float64(0.7), Index(0)])
@pytest.mark.parametrize("kind", ["linear", "categorical"])
def test_layer_arguments_reach_the_record_as_given(tmp_path, capfd, kind, rate):
    path = str(tmp_path / "best.json")
    n_out = 1 if kind == "linear" else 2
    base = dense_model(kind, 1, n_out, path)
    m = KINDS[kind].add(base, 2**64 - 1, None, "dropout", "h\u00e9 \u2603", rate)
    doc = trained_file(m, path)
    dense, dropout = doc["layers"]
    assert (dense["layer_type"], dense["activation_type"], dense["n_inputs"], dense["n_neurons"]) == \
           ("dense", "", 1, n_out)
    assert (dropout["layer_type"], dropout["activation_type"], dropout["n_inputs"], dropout["n_neurons"]) == \
           ("dropout", "h\u00e9 \u2603", 2**64 - 1, 0)
    # training turns the drop fraction, rounded to float32, into a keep probability
    keep = np.float32(1) - np.float32(float(rate))
    assert np.float32(dropout["dropout_rate"]) == keep
    assert doc["save_best_params"] == path

    # neither adding a layer nor training changed the objects passed in
    assert len(trained_file(base, path)["layers"]) == 1
    again = trained_file(m, path)
    assert len(again["layers"]) == 2 and np.float32(again["layers"][1]["dropout_rate"]) == keep
