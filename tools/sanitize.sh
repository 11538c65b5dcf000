#!/usr/bin/env bash
# Builds the module and the C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer, then runs the C++
# tests, the whole Python suite and a leak check of a training round with the sanitizer runtime loaded.
# Usage: bash tools/sanitize.sh [extra pytest arguments]
# Env: WEXO_ASAN_VENV (default build/venv-asan), WEXO_ASAN_SKIP_PYTEST=1 (C++ tests and leak check only).
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${WEXO_ASAN_VENV:-build/venv-asan}
BUILD=build/asan
[ -x "$VENV/bin/python" ] || python3 -m venv "$VENV"
PY="$VENV/bin/python"
"$PY" -m pip install -q --disable-pip-version-check numpy scipy-openblas32 pytest hypothesis "scikit-build-core>=0.10"

# No build isolation: the C++ tests are built in the same folder and keep using this venv's OpenBLAS.
# The runtime preloaded below is gcc's, so gcc must build.
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation . \
    -C build-dir="$BUILD" \
    -C cmake.define.CMAKE_CXX_COMPILER=g++ \
    -C cmake.define.WEXO_SANITIZE=ON \
    -C cmake.define.WEXO_BUILD_TESTS=ON
cmake --build "$BUILD" --target wexo_cpp_tests

export ASAN_OPTIONS=halt_on_error=1:allocator_may_return_null=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The test binary links the runtime itself; LeakSanitizer is on for it.
"$BUILD/wexo_cpp_tests" --gtest_brief=1

# The interpreter is not instrumented: the runtime must come first, and every object must come from malloc
# so that overruns of our objects are seen.
# Only the interpreter gets it: other programs' own leaks would fail the script.
sanitized=(env "LD_PRELOAD=$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
           PYTHONMALLOC=malloc WEXO_SANITIZED=1)

if [ "${WEXO_ASAN_SKIP_PYTEST:-0}" != 1 ]; then
    # The interpreter's own allocations live until exit; leaks are checked separately below.
    ASAN_OPTIONS=halt_on_error=1:allocator_may_return_null=1:detect_leaks=0 \
        "${sanitized[@]}" "$PY" -m pytest tests/python -q -p no:cacheprovider "$@"
fi

# A training round, loads, evaluations and aborts under LeakSanitizer. The interpreter leaves plenty
# allocated at exit, so only leaks with a frame in our module count.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
ASAN_OPTIONS=halt_on_error=1:allocator_may_return_null=1:detect_leaks=1 LSAN_OPTIONS=exitcode=0 \
    "${sanitized[@]}" "$PY" - 2>"$log" >/dev/null <<'PYTHON' || true
import os
import sys
import tempfile

import numpy as np

import wexo

f32, i32 = np.float32, np.int32
rng = np.random.default_rng(1)
folder = tempfile.mkdtemp()
x = rng.standard_normal((16, 3)).astype(f32)
y_lin = rng.standard_normal(16).astype(f32)
y_cat = rng.integers(0, 3, 16).astype(i32)
empty_x = np.zeros((0, 0), f32)


def aborts(call):
    try:
        call()
    except BaseException as e:  # noqa: B036
        assert type(e).__name__ == "PanicException", repr(e)
        return
    raise AssertionError("no abort")


def refused(call):
    try:
        call()
    except (TypeError, OverflowError):
        return
    raise AssertionError("no argument error")


for kind, y, n_out in (("linear", y_lin, 1), ("categorical", y_cat, 3)):
    create = getattr(wexo, f"create_{kind}_model")
    add = getattr(wexo, f"add_{kind}_model_layer")
    train = getattr(wexo, f"train_{kind}_model")
    load = getattr(wexo, f"load_{kind}_model")
    evaluate = getattr(wexo, f"evaluate_{kind}_model")
    path = os.path.join(folder, f"{kind}.json")
    m = create("linear" if kind == "linear" else "softmax", path)
    m = add(m, 3, 8, "dense", "relu")
    m = add(m, layer_type="dropout", dropout_rate=0.1)
    m = add(m, 8, n_out, "dense")
    for opt_type in ("adam", "tf_adam", "sgd"):
        train(m, wexo.create_optimizer(opt_type, 0.01, 0.001), 20, 4, x, y, x, y)
    loaded = load(path)
    evaluate(loaded, x, y)
    train(loaded, wexo.create_optimizer("adam", 0.01, 0.0), 3, 1, x, y, empty_x, y[:0])

    sgd = wexo.create_optimizer("sgd", 0.1, 0.0)
    aborts(lambda: train(m, sgd, 5, 0, x, y, x, y))
    aborts(lambda: train(m, sgd, 5, 1, x[:, :2], y, x, y))
    aborts(lambda: train(m, sgd, 5, 1, x, y, x, y[:4]))
    aborts(lambda: evaluate(m, x, y))
    aborts(lambda: evaluate(loaded, x[:, :2], y))
    aborts(lambda: load(os.path.join(folder, "missing.json")))
    with open(path, "rb") as f:
        text = f.read()
    for cut in (0, len(text) // 3, len(text) - 1):
        with open(path, "wb") as f:
            f.write(text[:cut])
        aborts(lambda: load(path))
    refused(lambda: train(m, sgd, 70000, 1, x, y, x, y))
    refused(lambda: train(m, "opt", 5, 1, x, y, x, y))
    refused(lambda: evaluate(m, x, y.astype(np.float64)))
    refused(lambda: add(m, -1))
print("leak round done", file=sys.stderr)
PYTHON
if ! grep -q "^leak round done" "$log"; then
    cat "$log" >&2
    echo "sanitize: the leak round did not finish" >&2
    exit 1
fi
ours=$(awk -v ours='wexo[.]cpython|/src/(core|nn|optimizer|model|io|python)/' '
    /^(Direct|Indirect) leak of/ { block = $0; next }
    block != "" && /^$/ { if (block ~ ours) print block; block = ""; next }
    block != "" { block = block "\n" $0 }' "$log")
if [ -n "$ours" ]; then
    printf '%s\n' "$ours" >&2
    echo "sanitize: leaks in wexo's code" >&2
    exit 1
fi
echo "sanitize: clean ($(grep -c '^Direct leak of' "$log" || true) interpreter leak records ignored)"
