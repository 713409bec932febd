"""The plots: per-group cost against groups at the real shape, one panel per interpreter
(plot.png), and load time against CSV size (load.png). Without matplotlib, none."""
import os
import sys

from .budgets import limit
from .rows import measured
from .target import libraries, pandas_major

SERIES = [("module", "step_us", "o-", "module: advance + predict"),
          ("floor", "step_us", "s--", "floor (public pandas)"),
          ("literal", "step_us", "^", "literal steps"),
          ("module", "fill_us", "x:", "participant's fill, yielded frame"),
          ("module", "reference_fill_us", "+:", "same fill, consolidated copy")]


def loop_panel(matplotlib, ax, result):
    real = [r for r in result["loop"] if r["shape"] == "real"]
    for kind, key, style, label in SERIES:
        pts = [(r["groups"], r[kind][key]) for r in real if measured(r, kind)]
        if pts:
            ax.plot([p[0] for p in pts], [p[1] for p in pts], style, label=label)
    if pandas_major(result["versions"]["pandas"]) >= 3:
        budget = limit("pandas3_us")
        ax.axhline(budget, color="grey", lw=0.8, ls="-.", label="budget %.0f µs" % budget)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ticks = sorted(set(r["groups"] for r in real))
    ax.set_xticks(ticks)
    ax.set_xticklabels(["{:,}".format(t) for t in ticks])
    ax.xaxis.set_minor_locator(matplotlib.ticker.NullLocator())
    ax.set_xlabel("groups")
    ax.set_ylabel("µs per group (median)")
    ax.set_title(libraries(result["versions"]))
    ax.grid(True, which="major", alpha=0.3)
    ax.legend(fontsize=7)


def loop_plot(matplotlib, plt, with_loop, out_dir):
    cols = min(2, len(with_loop))
    nrows = (len(with_loop) + cols - 1) // cols
    fig, axes = plt.subplots(nrows, cols, figsize=(6.2 * cols, 4.4 * nrows), squeeze=False)
    for ax in axes.ravel()[len(with_loop):]:
        ax.set_visible(False)
    for ax, result in zip(axes.ravel(), with_loop):
        loop_panel(matplotlib, ax, result)
    fig.suptitle("Per-group cost at the real shape")
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "plot.png"), dpi=100)
    plt.close(fig)


def load_plot(plt, with_load, out_dir):
    fig, ax = plt.subplots(figsize=(6.2, 4.4))
    for result in with_load:
        s = [r["csv_mb"] for r in result["load"]]
        tag = "pandas %s" % result["versions"]["pandas"]
        ax.plot(s, [r["module_s"] for r in result["load"]], "o-", label="first advance, " + tag)
        ax.plot(s, [r["plain_s"] for r in result["load"]], "s--", label="plain read_csv, " + tag)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("CSV MB")
    ax.set_ylabel("seconds")
    ax.set_title("Load time")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "load.png"), dpi=100)
    plt.close(fig)


def plot(results, out_dir):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker  # noqa: F401
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
        return
    with_loop = [r for r in results if r["loop"]]
    if with_loop:
        loop_plot(matplotlib, plt, with_loop, out_dir)
    with_load = [r for r in results if r.get("load")]
    if with_load:
        load_plot(plt, with_load, out_dir)
