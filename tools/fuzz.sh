#!/usr/bin/env bash
# Coverage-guided fuzzing of the model-file reader: libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer,
# seeded with files from training runs and the JSONTestSuite parsing corpus. Replays tests/fuzz/regressions first.
# Usage: bash tools/fuzz.sh [seconds]   (default 60). Exits non-zero on a crash; the input that caused it is
# left under build/fuzz/crashes/. The corpus grown so far is kept in build/fuzz/corpus for the next run.
# Env: WEXO_VENV (default .venv), WEXO_JSONTESTSUITE (default ../shared/data/jsontestsuite/test_parsing).
set -euo pipefail
cd "$(dirname "$0")/.."
RUN_SECONDS=${1:-60}
BUILD=build/fuzz

# The seed builder trains models with the installed module. WEXO_VENV may be relative to the repository or
# absolute; CMake is given the interpreter as an absolute path. --print-python shows it and stops.
VENV=${WEXO_VENV:-.venv}
case "$VENV" in
    /*) ;;
    *) VENV="$PWD/$VENV" ;;
esac
PY="$VENV/bin/python"
if [ "$RUN_SECONDS" = --print-python ]; then
    echo "$PY"
    exit 0
fi

# std::source_location with libstdc++ 12 needs clang 15 or newer, and libFuzzer's runtime must be there.
has_libfuzzer() {
    command -v "$1" >/dev/null || return 1
    [ "$("$1" -dumpversion | cut -d. -f1)" -ge 15 ] || return 1
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
        "$1" -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null
}
CLANG=""
for c in clang++ clang++-19 clang++-16 clang++-15; do
    if has_libfuzzer "$c"; then CLANG=$c; break; fi
done
if [ -z "$CLANG" ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq clang-16 libclang-rt-16-dev >/dev/null
    CLANG=clang++-16
fi

[ -x "$PY" ] || python3 -m venv "$VENV"
if ! "$PY" -c "import wexo" 2>/dev/null; then
    "$PY" -m pip install -q --disable-pip-version-check numpy scipy-openblas32
    "$PY" -m pip install -q --disable-pip-version-check .
fi

GEN=()
command -v ninja >/dev/null && GEN=(-G Ninja)
cmake -S . -B "$BUILD" "${GEN[@]}" -DCMAKE_CXX_COMPILER="$CLANG" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DWEXO_SANITIZE=ON -DWEXO_BUILD_FUZZ=ON -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$BUILD" --target fuzz_model_file
FUZZ="$BUILD/fuzz_model_file"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
shopt -s nullglob
regressions=(tests/fuzz/regressions/*)
if [ ${#regressions[@]} -gt 0 ]; then
    "$FUZZ" "${regressions[@]}" 2>"$BUILD/regressions.log" || { cat "$BUILD/regressions.log" >&2; exit 1; }
    echo "fuzz: ${#regressions[@]} regression inputs replayed"
fi

rm -rf "$BUILD/seeds"
"$PY" tests/fuzz/make_seeds.py "$BUILD/seeds"
corpora=("$BUILD/corpus" "$BUILD/seeds")
JSONTESTSUITE=${WEXO_JSONTESTSUITE:-../shared/data/jsontestsuite/test_parsing}
if [ -d "$JSONTESTSUITE" ]; then
    corpora+=("$JSONTESTSUITE")  # read in place, never copied into the tree
else
    echo "fuzz: no JSONTestSuite at $JSONTESTSUITE; seeding with training files only" >&2
fi
mkdir -p "$BUILD/corpus" "$BUILD/crashes"

# A single allocation over 256 MB from an input of a few kilobytes is a fault of its own.
status=0
"$FUZZ" -max_total_time="$RUN_SECONDS" -dict=tests/fuzz/model_file.dict -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=256 -print_final_stats=1 -artifact_prefix="$BUILD/crashes/" "${corpora[@]}" \
    2>"$BUILD/fuzz.log" || status=$?
if [ "$status" -ne 0 ]; then
    grep -v '^#' "$BUILD/fuzz.log" | tail -n 60 >&2
    ls -t "$BUILD"/crashes/* 2>/dev/null | head -n 1 | sed 's/^/fuzz: failing input: /' >&2  || true
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$BUILD/fuzz.log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$BUILD/fuzz.log")
echo "fuzz: ${runs:-?} runs in ${RUN_SECONDS} s, ${rate:-?} execs/s, corpus $(ls "$BUILD/corpus" | wc -l) inputs," \
    "exit status $status"
exit "$status"
