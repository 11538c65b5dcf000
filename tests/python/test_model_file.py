"""Model files through the public functions: what training writes, what the two loaders accept and reject with
which message, the file replacement rules, and the JSONTestSuite corpus."""
import json
import os
import re
import pathlib
import shutil
import signal
import stat
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import wexo
from support import EMPTY_X, SANITIZED, dense_model, f32, i32, printed_lines, progress_losses, sgd

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "data" / "jsontestsuite" / "test_parsing"

E2 = '{"v":1,"dim":[0,0],"data":[]}'
E1 = '{"v":1,"dim":[0],"data":[]}'


def layer(**override):
    fields = {"layer_type": '"dense"', "activation_type": '""', "n_inputs": "2", "n_neurons": "1",
              "weights": '{"v":1,"dim":[2,1],"data":[0.5,-0.25]}', "biases": '{"v":1,"dim":[1],"data":[0.125]}',
              "weight_regularizer_l1": "0.0", "weight_regularizer_l2": "0.0", "bias_regularizer_l1": "0.0",
              "bias_regularizer_l2": "0.0", "inputs": E2, "activation_inputs": E2, "dweights": E2, "dbiases": E1,
              "weight_momentums": E2, "weight_cache": E2, "bias_momentums": E1, "bias_cache": E1,
              "dropout_rate": "0.0", "binary_mask": E2}
    fields.update(override)
    return "{" + ",".join(f'"{k}":{v}' for k, v in fields.items() if v is not None) + "}"


def linear_doc(layers=None, **override):
    fields = {"layers": "[" + (layer() if layers is None else layers) + "]", "output_type": '"linear"',
              "loss_type": '"mean_squared_error"', "acc_type": '"linear"', "acc_precision": "1.0",
              "save_best_params": '"stored.json"'}
    fields.update(override)
    return "{" + ",".join(f'"{k}":{v}' for k, v in fields.items() if v is not None) + "}"


def write(tmp_path, text, name="m.json"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return str(path)


def load_error(panic, load, path):
    with pytest.raises(panic) as info:
        load(path)
    return info.value.args[0]


def evaluation_lines(capfd, model, x, y):
    capfd.readouterr()
    wexo.evaluate_linear_model(model, x, y)
    return capfd.readouterr().out


def trained_linear(path, epochs=3):
    x = np.array([[1, 2], [3, 4], [5, 6]], f32)
    y = np.array([1, 2, 3], f32)
    wexo.train_linear_model(dense_model("linear", 2, 1, path), sgd(0.01), epochs, 1, x, y, x, y)
    return x, y


def test_training_writes_a_compact_document_in_declared_key_order(tmp_path, capfd):
    path = tmp_path / "best.json"
    trained_linear(path)
    text = path.read_text()
    assert "\n" not in text and " " not in text
    doc = json.loads(text)
    assert list(doc) == ["layers", "output_type", "loss_type", "acc_type", "acc_precision", "save_best_params"]
    assert list(doc["layers"][0]) == ["layer_type", "activation_type", "n_inputs", "n_neurons", "weights",
                                      "biases", "weight_regularizer_l1", "weight_regularizer_l2",
                                      "bias_regularizer_l1", "bias_regularizer_l2", "inputs", "activation_inputs",
                                      "dweights", "dbiases", "weight_momentums", "weight_cache", "bias_momentums",
                                      "bias_cache", "dropout_rate", "binary_mask"]
    assert doc["layers"][0]["inputs"]["dim"] == [3, 2]
    assert doc["save_best_params"] == str(path)
    assert sorted(os.listdir(tmp_path)) == ["best.json"]  # no temporary file stays


def test_a_loaded_model_evaluates_with_the_stored_parameters(tmp_path, capfd):
    path = write(tmp_path, linear_doc())
    model = wexo.load_linear_model(path)
    x = np.array([[1, 1], [2, 0]], f32)
    lines = evaluation_lines(capfd, model, x, np.array([0.375, 1.125], f32)).splitlines()
    # 0.5*1 - 0.25*1 + 0.125 = 0.375 and 0.5*2 + 0.125 = 1.125: both exact
    assert lines[0].count("0.375") >= 2 and lines[1].count("1.125") >= 2


def test_loading_accepts_other_key_orders_whitespace_unknown_keys_and_array_forms(tmp_path, capfd):
    x = np.array([[1, 1], [2, 0]], f32)
    y = np.array([0.375, 1.125], f32)
    expected = evaluation_lines(capfd, wexo.load_linear_model(write(tmp_path, linear_doc())), x, y)
    reordered = ('\n { "save_best_params" : "p", "extra": [1, {"a": null}],\n "acc_precision": 1,'
                 '"acc_type":"linear","loss_type":"mean_squared_error","output_type":"linear",\r\n'
                 '"layers": [' + layer(weights='[1,[2,1],[0.5,-0.25]]', unknown="{}") + "] }\n")
    as_array = '[[' + layer() + '],"linear","mean_squared_error","linear",1.0,"p"]'
    for text in (reordered, as_array):
        assert evaluation_lines(capfd, wexo.load_linear_model(write(tmp_path, text)), x, y) == expected


def test_a_linear_file_loads_as_categorical_but_not_the_reverse(tmp_path, panic):
    path = write(tmp_path, linear_doc())
    assert type(wexo.load_categorical_model(path)).__name__ == "CategoricalModel"  # acc_precision is unknown there
    text = linear_doc(acc_precision=None)
    cat = write(tmp_path, text, "c.json")
    assert load_error(panic, wexo.load_linear_model, cat).endswith(
        f"Error(\"missing field `acc_precision`\", line: 1, column: {len(text)})")


@pytest.mark.parametrize("text, message", [
    ("", 'Error("EOF while parsing a value", line: 1, column: 0)'),
    ("{}", 'Error("missing field `layers`", line: 1, column: 2)'),
    ('{"layers":[],\n"layers" 1}', 'Error("expected `:`", line: 2, column: 10)'),
    (linear_doc() + " x", f'Error("trailing characters", line: 1, column: {len(linear_doc()) + 2})'),
    # an error found after a number counts the byte that ended it: the comma after 5, the line feed after 2
    ('{"layers":[],"output_type":5,"loss_type":""}',
     'Error("invalid type: integer `5`, expected a string", line: 1, column: 29)'),
    (linear_doc(layer(weights='{"v":2\n,"dim":[2,1],"data":[0.5,-0.25]}')),
     'Error("unknown array version: 2", line: 2, column: 0)'),
])
def test_errors_carry_line_and_column(tmp_path, panic, text, message):
    path = write(tmp_path, text)
    assert load_error(panic, wexo.load_linear_model, path) == f"cannot read model file '{path}': {message}"


@pytest.mark.parametrize("text, message", [
    (linear_doc(layers=layer(dropout_rate="null")), "invalid type: null, expected f32"),
    (linear_doc(layers=layer(n_inputs="2.0")), "invalid type: floating point `2.0`, expected usize"),
    (linear_doc(layers=layer(n_inputs="-1")), "invalid value: integer `-1`, expected usize"),
    (linear_doc(layers=layer(layer_type="5")), "invalid type: integer `5`, expected a string"),
    (linear_doc(layers=layer(weights='{"v":2,"dim":[2,1],"data":[1,2]}')), "unknown array version: 2"),
    (linear_doc(layers=layer(weights='{"v":1,"dim":[2,1],"data":[1,2,3]}')), "data and dimension must match in size"),
    (linear_doc(layers=layer(weights='{"v":1,"dim":[2],"data":[1,2]}')),
     "invalid length 1, expected an array of length 2"),
    (linear_doc(layers=layer(weights='{"v":1,"dim":[2,1],"data":[1,2],"w":0}')),
     "unknown field `w`, expected one of `v`, `dim`, `data`"),
    (linear_doc(layers=layer(weights='{"v":1,"dim":[4294967296,4294967296],"data":[]}')),
     "data and dimension must match in size"),
    (linear_doc(layers=layer(biases=None)), "missing field `biases`"),
    (linear_doc(layers="[]"), "invalid length 0, expected struct Layer with 20 elements"),
    (linear_doc(output_type='"a","output_type":"b"'), "duplicate field `output_type`"),
    (linear_doc(acc_precision="1e39"), "number out of range"),
    ('{"x":' + "[" * 128 + "]" * 128 + "}", "recursion limit exceeded"),
])
def test_content_errors_name_the_rule(tmp_path, panic, text, message):
    error = load_error(panic, wexo.load_linear_model, write(tmp_path, text))
    assert error.split("Error(\"", 1)[1].rsplit("\", line:", 1)[0] == message


def test_open_failure_ends_with_the_os_error(tmp_path, panic):
    path = str(tmp_path / "missing.json")
    for load in (wexo.load_linear_model, wexo.load_categorical_model):
        assert load_error(panic, load, path) == \
            f"cannot open model file '{path}': " 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'


def test_an_existing_file_is_replaced_and_keeps_its_mode(tmp_path):
    path = tmp_path / "best.json"
    path.write_text("previous")
    path.chmod(0o604)
    trained_linear(path)
    assert stat.S_IMODE(path.stat().st_mode) == 0o604
    assert json.loads(path.read_text())["save_best_params"] == str(path)
    assert sorted(os.listdir(tmp_path)) == ["best.json"]


def test_a_symlink_keeps_pointing_at_the_replaced_target(tmp_path):
    (tmp_path / "real.json").write_text("previous")
    link = tmp_path / "link.json"
    link.symlink_to("real.json")
    trained_linear(link)
    assert link.is_symlink()
    assert json.loads((tmp_path / "real.json").read_text())["layers"][0]["layer_type"] == "dense"


def test_a_write_error_aborts_training_and_dev_full_stays_a_device(panic):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    try:
        with pytest.raises(panic) as info:
            trained_linear("/dev/full")
        assert info.value.args[0] == ("cannot write model file '/dev/full': "
                                      'Os { code: 28, kind: StorageFull, message: "No space left on device" }')
    finally:
        if not stat.S_ISCHR(os.lstat("/dev/full").st_mode) and os.geteuid() == 0:  # a bug replaced it
            os.remove("/dev/full")
            os.mknod("/dev/full", 0o666 | stat.S_IFCHR, os.makedev(1, 7))
            os.chmod("/dev/full", 0o666)
        assert stat.S_ISCHR(os.lstat("/dev/full").st_mode)


CORPUS_CASES = sorted(p.name for p in CORPUS.glob("*.json")) if CORPUS.is_dir() else []


@pytest.mark.skipif(not CORPUS_CASES, reason="JSONTestSuite corpus not found beside the repository")
@pytest.mark.parametrize("load", [wexo.load_linear_model, wexo.load_categorical_model])
def test_json_test_suite_cases_as_unknown_values(tmp_path, panic, load):
    wrong = []
    for name in CORPUS_CASES:
        text = b'{"unknown":' + (CORPUS / name).read_bytes() + b"\n," + linear_doc(layers="").encode()[1:]
        path = write(tmp_path, text)
        try:
            load(path)
            loaded = True
        except panic:
            loaded = False
        if (name.startswith("y_") and not loaded) or (name.startswith("n_") and loaded):
            wrong.append(name)
    assert wrong == []


def open_files_in(pid, directory):
    """What the process has open inside directory (an unnamed file shows as "#inode (deleted)")."""
    found = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith(str(directory) + "/"):
            found.append(target)
    return found


KILLED_TRAINER = """
    import sys
    import numpy as np
    import wexo
    rng = np.random.default_rng(0)
    x = rng.random((20000, 100), dtype=np.float32)  # every write stores x: about 20 MB per file
    y = x @ rng.random(100, dtype=np.float32)
    m = wexo.add_linear_model_layer(wexo.create_linear_model("linear", sys.argv[1]), 100, 1, "dense")
    wexo.train_linear_model(m, wexo.create_optimizer("sgd", 0.001, 0.0), 10000, 1, x, y, x[:0, :0], y[:0])
"""


def kill_during_a_write(path, env=None):
    """Starts a training that rewrites path at every epoch and SIGKILLs it while a write is under way."""
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(KILLED_TRAINER), str(path)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    try:
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and proc.poll() is None:
            # once a first write has completed, a file open in the directory is the next write's new content
            if path.exists() and open_files_in(proc.pid, path.parent):
                proc.send_signal(signal.SIGKILL)
                break
            time.sleep(0.002)
        assert proc.wait(timeout=60) == -signal.SIGKILL, proc.stderr.read().decode()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stderr.close()


def test_a_process_killed_while_writing_leaves_no_temporary_file(tmp_path):
    path = tmp_path / "best.json"
    kill_during_a_write(path)
    assert sorted(os.listdir(tmp_path)) == ["best.json"]
    # the file is a complete earlier write, and a later run replaces it as usual
    assert json.loads(path.read_text())["layers"][0]["inputs"]["dim"] == [20000, 100]
    assert wexo.load_linear_model(str(path)).__class__.__name__ == "LinearModel"
    trained_linear(path)
    assert sorted(os.listdir(tmp_path)) == ["best.json"]
    assert json.loads(path.read_text())["layers"][0]["inputs"]["dim"] == [3, 2]


NO_UNNAMED_FILES = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/types.h>

/* open() as on a file system without O_TMPFILE */
static int refuse_or_open(const char* name, const char* path, int flags, va_list ap) {
    mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, name);
    return real(path, flags, mode);
}
int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    int fd = refuse_or_open("open", path, flags, ap);
    va_end(ap);
    return fd;
}
int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    int fd = refuse_or_open("open64", path, flags, ap);
    va_end(ap);
    return fd;
}
"""


@pytest.mark.skipif(shutil.which("cc") is None, reason="no C compiler for the open() shim")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime must come first")
def test_without_unnamed_files_a_named_temporary_file_replaces_the_target(tmp_path, run_python):
    shim = tmp_path / "no_tmpfile.so"
    (tmp_path / "no_tmpfile.c").write_text(NO_UNNAMED_FILES)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(shim), str(tmp_path / "no_tmpfile.c"), "-ldl"], check=True)
    work = tmp_path / "work"
    work.mkdir()
    path = work / "best.json"
    path.write_text("previous")
    path.chmod(0o640)
    env = dict(os.environ, LD_PRELOAD=str(shim))
    r = run_python(f"""
        import numpy as np
        import wexo
        m = wexo.add_linear_model_layer(wexo.create_linear_model("linear", {str(path)!r}), 2, 1, "dense")
        x = np.array([[1, 2], [3, 4], [5, 6]], np.float32)
        y = np.array([1, 2, 3], np.float32)
        wexo.train_linear_model(m, wexo.create_optimizer("sgd", 0.01, 0.0), 3, 1, x, y, x, y)
    """, env=env)
    assert r.returncode == 0, r.stderr
    assert sorted(os.listdir(work)) == ["best.json"]
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    assert json.loads(path.read_text())["layers"][0]["inputs"]["dim"] == [3, 2]
    # while a write is under way its content has a hidden name next to the target, which a kill leaves behind
    kill_during_a_write(path, env)
    names = set(os.listdir(work)) - {"best.json"}
    assert all(n.startswith(".best.json.tmp") for n in names), names
    assert wexo.load_linear_model(str(path)).__class__.__name__ == "LinearModel"


@pytest.mark.parametrize("validate", [False, True])
def test_every_write_of_a_training_call_stores_the_batch_exactly(tmp_path, capfd, validate):
    # Later writes of a call copy the stored batch's text from the file written before: after several writes
    # the batch (x, or val_x once a validation pass has run) must still read back bit for bit.
    rng = np.random.default_rng(3)
    x = (rng.standard_normal((64, 5)) * 10.0 ** rng.integers(-9, 2, (64, 5))).astype(f32)
    x[0, :3] = [0.0, -0.0, 1e-45]
    y = np.argmax(x[:, :3], axis=1).astype(i32)
    val_x = x[::-1].copy() if validate else EMPTY_X
    val_y = y[::-1].copy() if validate else np.zeros(0, i32)
    path = tmp_path / "best.json"
    m = dense_model("categorical", 5, 3, path)
    wexo.train_categorical_model(m, wexo.create_optimizer("adam", 0.05, 0.0), 6, 6, x, y, val_x, val_y)
    losses = progress_losses(printed_lines(capfd))
    assert len(losses) == 6 and all(a > b for a, b in zip(losses, losses[1:]))  # written at epochs 2 to 6
    stored = json.loads(path.read_text())["layers"][0]["inputs"]
    assert stored["dim"] == [64, 5]
    assert np.array(stored["data"], f32).tobytes() == (val_x if validate else x).tobytes()
    assert sorted(os.listdir(tmp_path)) == ["best.json"]


def file_number_text(v):
    """A float32's text in a model file: shortest digits, positional for -6 < e <= 13, else scientific."""
    v = f32(v)
    if not np.isfinite(v):
        return "null"
    sign = "-" if np.signbit(v) else ""
    if v == 0:
        return sign + "0.0"
    mantissa, exponent = np.format_float_scientific(abs(v), unique=True, trim="-").split("e")
    digits = mantissa.replace(".", "")
    n, e = len(digits), int(exponent) + 1
    if n <= e <= 13:
        return sign + digits + "0" * (e - n) + ".0"
    if 0 < e < n:
        return sign + digits[:e] + "." + digits[e:]
    if -6 < e <= 0:
        return sign + "0." + "0" * -e + digits
    return sign + digits[0] + ("." + digits[1:] if n > 1 else "") + "e" + str(e - 1)


@pytest.mark.parametrize("target", ["file", "pipe"])
def test_relu_inputs_of_the_next_layer_are_written_exactly(tmp_path, capfd, target):
    # The second layer's stored inputs repeat the first layer's positive pre-activation values: a write to a
    # file reads their text back from the new file, a write to a pipe (nothing to read back) formats them. Both
    # must give each number's exact text and the same floats.
    rng = np.random.default_rng(5)
    x = (rng.standard_normal((200, 6)) * 10.0 ** rng.integers(-7, 3, (200, 6))).astype(f32)
    y = rng.integers(0, 3, 200).astype(i32)
    path = tmp_path / ("best.json" if target == "file" else "fifo")
    reader = None
    if target == "pipe":
        os.mkfifo(path)
        out = tmp_path / "received"
        # another process (the training call holds the interpreter lock while it writes into the pipe) that
        # keeps the pipe open for writing too, so that it never sees an end and every write finds a reader
        script = "import os, sys\nfd = os.open(sys.argv[1], os.O_RDWR)\nwith open(sys.argv[2], 'ab', 0) as f:\n" \
                 "    while True:\n        f.write(os.read(fd, 65536))\n"
        out.touch()
        reader = subprocess.Popen([sys.executable, "-c", script, str(path), str(out)])
    m = wexo.create_categorical_model("softmax", str(path))
    m = wexo.add_categorical_model_layer(m, 6, 16, "dense", "relu")
    m = wexo.add_categorical_model_layer(m, 16, 3, "dense", "")
    wexo.train_categorical_model(m, wexo.create_optimizer("adam", 0.01, 0.0), 5, 1, x, y,
                                 np.zeros((0, 0), f32), np.zeros(0, i32))
    if reader is not None:
        try:
            # the documents arrive one after another; the last one is complete once it parses
            for _ in range(600):
                text = '{"layers"' + out.read_text().split('}{"layers"')[-1].removeprefix('{"layers"')
                try:
                    json.loads(text)
                    break
                except ValueError:
                    time.sleep(0.05)
        finally:
            reader.kill()
            reader.wait()
    else:
        text = path.read_text()
    layers = json.loads(text)["layers"]
    pre = np.array(layers[0]["activation_inputs"]["data"], f32)
    assert np.array(layers[1]["inputs"]["data"], f32).tobytes() == np.maximum(pre, f32(0)).tobytes()
    for body in re.findall(r'"data":\[([^\]]*)\]', text):
        tokens = body.split(",") if body else []
        assert tokens == [file_number_text(float(t)) for t in tokens]
