#!/usr/bin/env bash
# Builds the module and the C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer, then runs the C++
# tests and the whole Python suite with the sanitizer runtime loaded, and the leak tests once more with
# LeakSanitizer on.
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
    # The interpreter's own allocations live until exit; leaks are checked by the separate run below.
    ASAN_OPTIONS=halt_on_error=1:allocator_may_return_null=1:detect_leaks=0 \
        "${sanitized[@]}" "$PY" -m pytest tests/python -q -p no:cacheprovider "$@"
fi

# The leak tests again, in their own process with LeakSanitizer on. The interpreter leaves plenty allocated at
# exit, so only leaks with a frame in our module count; a leak report alone does not change the exit status.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
ASAN_OPTIONS=halt_on_error=1:allocator_may_return_null=1:detect_leaks=1 LSAN_OPTIONS=exitcode=0 \
    "${sanitized[@]}" "$PY" -m pytest tests/python/test_leaks.py -q -p no:cacheprovider >"$log" 2>&1 || status=$?
if [ "$status" != 0 ] || ! grep -Eq "^[0-9]+ passed" "$log"; then
    cat "$log" >&2
    echo "sanitize: the leak tests did not pass (exit status $status)" >&2
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
