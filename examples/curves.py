"""Helpers the examples share: the model-file location, capturing what wexo prints on fd 1, the training curve."""
import contextlib
import os
import re
import sys
import tempfile

# A curve needs more points than the ten reports a console run prints.
REPORTS = 10
PLOT_REPORTS = 200
PLOT_SHOWN = 10


def add_common_options(ap):
    ap.add_argument("--reports", type=int, default=None,
                    help=f"number of progress reports (print_freq; default {REPORTS}, or up to {PLOT_REPORTS} "
                         f"with --plot, of which {PLOT_SHOWN} are printed)")
    ap.add_argument("--model-file", default=None,
                    help="where training keeps the best parameters, kept after the run (default: a file in a "
                         "temporary folder that is removed at exit)")
    ap.add_argument("--plot", metavar="PNG", help="draw the training curve to this file (needs matplotlib)")


def check_options(ap, args):
    """Fails before any training when --plot cannot be honoured; fills in the number of reports."""
    if args.epochs < 1:
        ap.error("--epochs must be at least 1")
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            ap.error("--plot needs matplotlib, which is not installed: pip install matplotlib")
    if args.reports is None:
        args.reports = min(args.epochs, PLOT_REPORTS if args.plot else REPORTS)
    if not 1 <= args.reports <= min(args.epochs, 65535):
        ap.error("--reports must be between 1 and the number of epochs")


@contextlib.contextmanager
def model_file(path):
    """The given path, or one in a temporary folder that is gone when the block ends."""
    if path:
        yield path
        return
    with tempfile.TemporaryDirectory(prefix="wexo-example-") as folder:
        yield os.path.join(folder, "best.json")


def require_written(path):
    # Training writes the file only when an epoch's loss falls below the first epoch's.
    if not os.path.exists(path):
        sys.exit(f"no model file was written to {path}: the training loss never fell below the first epoch's "
                 "(try more epochs or another learning rate)")


def run_captured(call, echo=True):
    """wexo prints on file descriptor 1; capture it there (sys.stdout redirection would not see it)."""
    sys.stdout.flush()
    with tempfile.TemporaryFile(mode="w+") as tmp:
        saved = os.dup(1)
        os.dup2(tmp.fileno(), 1)
        try:
            call()
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        tmp.seek(0)
        text = tmp.read()
    if echo:
        sys.stdout.write(text)
        sys.stdout.flush()
    return text.splitlines()


def train_and_plot(train, png):
    """Runs training, prints about PLOT_SHOWN of its reports and draws all of them to png."""
    lines = run_captured(train, echo=False)
    starts = [i for i, line in enumerate(lines) if line.startswith("epoch:")] + [len(lines)]
    step = max(1, (len(starts) - 1) // PLOT_SHOWN)
    for k in range(step - 1, len(starts) - 1, step):
        sys.stdout.write("".join(line + "\n" for line in lines[starts[k]:starts[k + 1]]))
    sys.stdout.flush()
    draw_curve(lines, png)


def draw_curve(lines, png):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    pat = re.compile(r"epoch: *(\d+), acc: (\S+), loss: (\S+)")
    rows = [tuple(float(v) for v in m.groups()) for m in map(pat.match, lines) if m]
    val = [float(line.split("acc: ")[1].split(",")[0]) for line in lines if line.startswith("validation")]
    ep, acc, loss = zip(*rows)
    fig, (a1, a2) = plt.subplots(1, 2, figsize=(10, 4))
    a1.plot(ep, loss)
    a1.set_xlabel("epoch")
    a1.set_ylabel("training loss")
    a2.plot(ep, acc, label="training")
    if len(val) == len(ep):
        a2.plot(ep, val, label="validation")
    a2.set_xlabel("epoch")
    a2.set_ylabel("accuracy")
    a2.legend()
    fig.tight_layout()
    fig.savefig(png)
    print(f"training curve ({len(ep)} points) written to {png}")
