"""The module surface: functions, signatures, the three classes, and how the installed module finds OpenBLAS."""
import ast
import copy
import gc
import inspect
import os
import pathlib
import pickle
import re
import shutil
import subprocess
import sys
import types
import weakref

import pytest

import wexo

SIGNATURES = [
    ("create_linear_model", "(output_type, save_best_params)"),
    ("create_categorical_model", "(output_type, save_best_params)"),
    ("add_linear_model_layer",
     "(model, n_inputs=None, n_neurons=None, layer_type=None, activation_type=None, dropout_rate=None)"),
    ("add_categorical_model_layer",
     "(model, n_inputs=None, n_neurons=None, layer_type=None, activation_type=None, dropout_rate=None)"),
    ("create_optimizer", "(opt_type, learning_rate, decay)"),
    ("train_linear_model", "(model, opt, num_epochs, print_freq, x, y, val_x, val_y)"),
    ("train_categorical_model", "(model, opt, num_epochs, print_freq, x, y, val_x, val_y)"),
    ("load_linear_model", "(save_best_params)"),
    ("evaluate_linear_model", "(model, val_x, val_y)"),
    ("load_categorical_model", "(save_best_params)"),
    ("evaluate_categorical_model", "(model, val_x, val_y)"),
]
NAMES = [name for name, _ in SIGNATURES]

LINEAR_DOC = "\n".join([
    "Create a model for categorical outcome data comprised of the",
    "cells specified in `layers`. Output types options are:",
    "- `linear` (oskel::activation::linear)",
    "\\n Loss type options are:",
    "- `mean_squared_error` (oskel::loss::mean_squared_error)",
    "\\n Accuracy type options are:",
    "- `linear` (oskel::accuracy::linear)",
    "\\n The `save_best_params` argument specifies where to save",
    "the best weights, if desired. `.json` is the supported file",
    "extension for saved models.",
])
CATEGORICAL_DOC = "\n".join([
    "Create a model for categorical outcome data comprised of the",
    "cells specified in `layers`. Output types options are:",
    "- `softmax`     (oskel::activation::softmax)",
    "\\n Loss type options are:",
    "- `categorical_crossentropy` (oskel::loss::categorical_crossentropy)",
    "\\n Accuracy type options are:",
    "- `categorical` (oskel::accuracy::categorical)",
    "\\n The `save_best_params` argument specifies where to save",
    "the best weights, if desired. `.json` is the supported file",
    "extension for saved models.",
])
OPTIMIZER_DOC = "\n".join([
    "Dynamic optimizer struct that can be either of `opt_type`",
    "`adam` or `sgd`, which correspond to the parameter update",
    "methods used in `oskel::optimizer::adam` and",
    "`oskel::optimizer::sgd`, respectively.",
])

CLASSES = [
    ("LinearModel", lambda: wexo.create_linear_model("linear", ""), LINEAR_DOC),
    ("CategoricalModel", lambda: wexo.create_categorical_model("softmax", ""), CATEGORICAL_DOC),
    ("DynamicOptimizer", lambda: wexo.create_optimizer("adam", 0.01, 0.0), OPTIMIZER_DOC),
]
class_cases = pytest.mark.parametrize("name,make,doc", CLASSES, ids=[c[0] for c in CLASSES])


def test_module_doc_is_an_empty_string():
    assert wexo.__doc__ == ""
    assert wexo.__name__ == "wexo"


def test_all_lists_exactly_the_functions_in_table_order():
    assert wexo.__all__ == NAMES
    assert sorted(n for n in dir(wexo) if not n.startswith("_")) == sorted(NAMES)


@pytest.mark.parametrize("name,text_signature", SIGNATURES)
def test_functions_are_builtins_with_text_signatures(name, text_signature):
    f = getattr(wexo, name)
    assert isinstance(f, types.BuiltinFunctionType)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "wexo")
    assert f.__self__ is wexo
    assert f.__text_signature__ == text_signature
    assert f.__doc__ is None
    params = inspect.signature(f).parameters.values()
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    assert str(inspect.signature(f)) == text_signature


def test_layer_functions_default_every_parameter_but_model_to_none():
    params = list(inspect.signature(wexo.add_linear_model_layer).parameters.values())
    assert len(params) == 6
    assert params[0].default is inspect.Parameter.empty
    assert [p.default for p in params[1:]] == [None] * 5


def test_second_initialisation_in_one_process_is_refused(run_python):
    r = run_python("""
        import sys
        import wexo
        first = wexo
        del sys.modules["wexo"]
        try:
            import wexo
        except ImportError as e:
            print(type(e).__name__, e)
        first.create_linear_model("linear", "")  # the first module still works
        print("ok")
    """)
    assert r.returncode == 0, r.stderr
    first, second = r.stdout.splitlines()
    assert first.startswith("ImportError ") and first.endswith("may only be initialized once per interpreter process")
    assert second == "ok"


def test_classes_are_not_module_attributes():
    for name, _, _ in CLASSES:
        assert not hasattr(wexo, name)


@class_cases
def test_class_names_and_repr(name, make, doc):
    obj = make()
    cls = type(obj)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    assert re.fullmatch(rf"<builtins\.{name} object at 0x[0-9a-f]+>", repr(obj))
    assert cls.__bases__ == (object,)
    assert type(make()) is cls  # one class object for all instances


@class_cases
def test_class_docstrings_are_exact(name, make, doc):
    cls = type(make())
    assert cls.__doc__ == doc
    assert cls.__text_signature__ is None


@class_cases
@pytest.mark.parametrize("args,kwargs", [((), {}), ((1, 2), {"a": 3})])
def test_classes_have_no_constructor(name, make, doc, args, kwargs):
    cls = type(make())
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == "No constructor defined"
    with pytest.raises(TypeError):
        object.__new__(cls)


@class_cases
def test_classes_cannot_be_subclassed(name, make, doc):
    cls = type(make())
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


@class_cases
def test_instances_have_no_dict_no_weakrefs_and_no_members(name, make, doc):
    obj = make()
    cls = type(obj)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert sorted(vars(cls)) == ["__doc__", "__module__", "__new__"]
    assert not gc.is_tracked(obj)  # records hold no Python objects


@class_cases
def test_comparison_and_hash_are_by_identity(name, make, doc):
    a, b = make(), make()
    assert a == a and a != b
    assert hash(a) == object.__hash__(a)


@pytest.mark.skipif(sys.version_info < (3, 10), reason="immutable heap types came with Python 3.10")
@class_cases
def test_classes_are_immutable(name, make, doc):
    cls = type(make())
    with pytest.raises(TypeError):
        cls.extra = 1


@class_cases
def test_instances_cannot_be_copied_or_pickled(name, make, doc):
    obj = make()
    with pytest.raises(TypeError):
        copy.copy(obj)
    with pytest.raises(TypeError):
        pickle.dumps(obj)


def test_calls_leak_no_references():
    m = wexo.create_linear_model("linear", "")
    before = sys.getrefcount(m)
    for _ in range(100):
        wexo.add_linear_model_layer(m, 1, 2, "dense", "relu", 0.5)
    assert sys.getrefcount(m) == before
    cls = type(m)
    before = sys.getrefcount(cls)
    objs = [wexo.create_linear_model("linear", "") for _ in range(50)]
    assert sys.getrefcount(cls) == before + 50  # each instance holds its heap type
    del objs
    assert sys.getrefcount(cls) == before


def test_pyinit_is_the_only_exported_symbol():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not installed")
    out = subprocess.run([nm, "-D", "--defined-only", wexo.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_wexo"]


# Prints where OpenBLAS was mapped from before and after importing wexo ("none": not loaded).
FINDS_OPENBLAS = """
def openblas():
    with open("/proc/self/maps") as f:
        paths = {line.split()[-1] for line in f if "libscipy_openblas.so" in line}
    return paths.pop() if len(paths) == 1 else "none" if not paths else "several"
print(openblas())
import wexo
print(openblas())
"""


def test_installed_module_finds_openblas_by_itself(run_python):
    # loaded by the module as it is imported, from the scipy_openblas32 package beside it
    import scipy_openblas32
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    r = run_python(FINDS_OPENBLAS, env=env)
    assert r.returncode == 0, r.stderr
    before, after = r.stdout.split()
    assert before == "none"
    package_dir = pathlib.Path(scipy_openblas32.__file__).resolve().parent
    assert pathlib.Path(after).resolve().is_relative_to(package_dir), after


DLOPEN_WRAPPER = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
void* dlopen(const char* name, int flags) {
    void* (*real)(const char*, int) = (void* (*)(const char*, int))dlsym(RTLD_NEXT, "dlopen");
    return real(name, flags);
}
"""


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
def test_module_finds_openblas_when_dlopen_is_wrapped(run_python, tmp_path):
    # A preloaded dlopen (a sanitizer's, a profiler's) hides the module's run path from a search by bare name.
    (tmp_path / "wrap.c").write_text(DLOPEN_WRAPPER)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(tmp_path / "wrap.so"), str(tmp_path / "wrap.c"), "-ldl"],
                   check=True)
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    env["LD_PRELOAD"] = ":".join(filter(None, [env.get("LD_PRELOAD"), str(tmp_path / "wrap.so")]))
    r = run_python(FINDS_OPENBLAS, env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split()[0] == "none" and "scipy_openblas32" in r.stdout.split()[1], r.stdout


def test_type_stubs_are_installed_and_match_the_module():
    stub = pathlib.Path(wexo.__file__).with_name("wexo.pyi")
    tree = ast.parse(stub.read_text())
    functions = [n for n in tree.body if isinstance(n, ast.FunctionDef)]
    assert [f.name for f in functions] == NAMES
    for f in functions:
        stub_params = [a.arg for a in f.args.args]
        assert stub_params == list(inspect.signature(getattr(wexo, f.name)).parameters), f.name
        assert len(f.args.defaults) == sum(1 for p in inspect.signature(getattr(wexo, f.name)).parameters.values()
                                           if p.default is None)
    classes = {n.name for n in tree.body if isinstance(n, ast.ClassDef)}
    assert classes == {"LinearModel", "CategoricalModel", "DynamicOptimizer"}
