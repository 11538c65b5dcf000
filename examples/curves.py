"""Helpers the examples share: capture what wexo prints on fd 1, draw the training curve."""
import os
import re
import sys
import tempfile


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


def draw_curve(lines, png):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed; no plot drawn", file=sys.stderr)
        return
    pat = re.compile(r"epoch: *(\d+), acc: (\S+), loss: (\S+)")
    rows = [tuple(float(v) for v in m.groups()) for m in map(pat.match, lines) if m]
    val = [float(l.split("acc: ")[1].split(",")[0]) for l in lines if l.startswith("validation")]
    ep, acc, loss = zip(*rows)
    fig, (a1, a2) = plt.subplots(1, 2, figsize=(10, 4))
    a1.plot(ep, loss); a1.set_xlabel("epoch"); a1.set_ylabel("training loss")
    a2.plot(ep, acc, label="training")
    if len(val) == len(ep):
        a2.plot(ep, val, label="validation")
    a2.set_xlabel("epoch"); a2.set_ylabel("accuracy"); a2.legend()
    fig.tight_layout()
    fig.savefig(png)
    print(f"training curve written to {png}")
