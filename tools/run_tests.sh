#!/usr/bin/env bash
# Installs everything the tests need, then runs all of them: the C++ unit tests and the Python suite.
# Usage: bash tools/run_tests.sh [extra pytest arguments]   (WEXO_QUICK=1: skip the exhaustive
# float check, the sanitizer and the fuzz runs)
set -euo pipefail
cd "$(dirname "$0")/.."

# From Debian: GoogleTest (libgtest-dev), and ccache, through which the later builds of the same sources (the
# fresh-venv installs and the wheel) take the first build's objects instead of compiling them again.
need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v ccache >/dev/null || need+=(ccache)
if [ ${#need[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq "${need[@]}"
fi
export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="${CCACHE_DIR:-$PWD/build/ccache}"

VENV=${WEXO_VENV:-.venv}
[ -x "$VENV/bin/python" ] || python3 -m venv "$VENV"
PY="$VENV/bin/python"
"$PY" -m pip install -q --disable-pip-version-check numpy scipy-openblas32 pytest hypothesis mypy \
    "scikit-build-core>=0.10"

# One build gives both the installed module and the C++ tests in build/tests (`cmake --build build/tests` rebuilds
# them); without build isolation both use this venv's NumPy and OpenBLAS. Isolated builds, as users get them, are
# the fresh-venv install tests' job.
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation . \
    -C build-dir=build/tests -C cmake.define.WEXO_BUILD_TESTS=ON
build/tests/wexo_cpp_tests --gtest_brief=1
# the float32 shortest digits and their file layout over all 2^32 bit patterns, on two threads (minutes;
# WEXO_QUICK=1 skips it)
[ "${WEXO_QUICK:-0}" = 1 ] || build/tests/check_shortest 2

# the fresh-venv install tests build wexo three times more (two CPython versions and the wheel); they are part
# of every full run
WEXO_INSTALL_TESTS=${WEXO_INSTALL_TESTS:-1} "$PY" -m pytest tests/python -q "$@"

# The same suites under AddressSanitizer and UndefinedBehaviorSanitizer, then a bounded fuzz run of the
# model-file reader. WEXO_QUICK=1 skips both while iterating.
if [ "${WEXO_QUICK:-0}" != 1 ]; then
    bash tools/sanitize.sh
    bash tools/fuzz.sh "${WEXO_FUZZ_SECONDS:-60}"
fi
