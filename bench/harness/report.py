"""The report: the tables of every interpreter's result into results.md, the plots beside it, and
after a full run into bench/results, the summary into the README."""
import glob
import json
import os
import shutil
import sys

from . import BENCH, ROOT
from .budgets import BUDGETS, assess, limit, title
from .data import SHAPES
from .plot import plot
from .rows import fill_ratio, fmt_us, measured, same_bytes
from .target import libraries

README_BEGIN = "<!-- bench results: written by `bench/run.py --report` -->"
README_END = "<!-- end of bench results -->"


def interpreter_title(result):
    v = result["versions"]
    return "%s, numpy %s" % (libraries(v), v["numpy"])


def row_line(cells):
    return "| " + " | ".join(cells) + " |"


def literal_cells(r, m, lit):
    if lit:
        return [fmt_us(lit["step_us"]), "x%.1f" % (lit["step_us"] / m["step_us"]) if m else "-"]
    if r.get("literal"):
        return ["not measured: " + r["literal"]["skipped"], "-"]
    return ["-", "-"]


def run_cells(m, f, lit):
    """The runs, the lowest CPU share, and advance + predict in CPU time against the floor's."""
    runs = "module %d, floor %d" % (m["runs"] if m else 0, f["runs"] if f else 0)
    if lit:
        runs += ", literal %d" % lit["runs"]
    shares = [x["cpu_share"] for x in (m, f, lit) if x and "cpu_share" in x]
    cells = [runs, "%.2f" % min(shares) if shares else "-"]
    if m and f and "cpu_step_us" in m and "cpu_step_us" in f:
        cells.append("%s / %s (%.2f)" % (fmt_us(m["cpu_step_us"]), fmt_us(f["cpu_step_us"]),
                                         m["cpu_step_us"] / f["cpu_step_us"]))
    else:
        cells.append("-")
    return cells


def timing_cells(r):
    m, f, lit = measured(r, "module"), measured(r, "floor"), measured(r, "literal")
    cells = [r["shape"], "{:,}".format(r["groups"])]
    if m:
        cells += [fmt_us(m["advance_us"]), fmt_us(m["predict_us"]), fmt_us(m["step_us"]),
                  "%s (%s)" % (fmt_us(m["mean_us"]), fmt_us(m.get("cpu_mean_us")))]
    else:
        cells += ["not measured: " + r["module"]["skipped"], "", "", ""]
    cells.append(fmt_us(f["step_us"]) if f else "-")
    cells.append("%.2f" % (m["step_us"] / f["step_us"]) if m and f else "-")
    return cells + literal_cells(r, m, lit) + run_cells(m, f, lit)


def timing_table(result):
    lines = ["### Loop: median µs per group (advance and predict of the environment, without the "
             "participant's fill)", "",
             "| shape | groups | advance | predict | advance + predict | mean (CPU time) | floor | ratio to floor "
             "(budget %.1f) | literal steps | literal / module | runs | CPU share | advance + predict in CPU "
             "time: module / floor (ratio) |" % limit("floor"),
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|"]
    return lines + [row_line(timing_cells(r)) for r in result["loop"]]


def fill_cells(r):
    m, f, lit = measured(r, "module"), measured(r, "floor"), measured(r, "literal")
    w = m["warnings"]
    return [r["shape"], "{:,}".format(r["groups"]), fmt_us(m["fill_us"]), fmt_us(m["reference_fill_us"]),
            "%.2f" % fill_ratio(r), fmt_us(f["fill_us"]) if f else "-",
            fmt_us(lit["fill_us"]) if lit else "-", "%.3f" % m["write_s"],
            "%.3f" % f["plain_write_s"] if f else "-",
            "%.2f" % (m["write_s"] / f["plain_write_s"]) if f else "-", same_bytes(r),
            "%d / %d / %d / %d" % (w["load"], w["advance"], w["predict"], w["write"]), "%d" % w["fill"],
            "%d / %d" % (m["blocks_test"], m["blocks_sample"])]


def fill_table(result):
    lines = ["### The participant's fill, the write, warnings and blocks", "",
             "| shape | groups | fill of the yielded frame µs | same fill, consolidated copy µs | ratio to the "
             "lower of this and the floor's (budget %.1f) | floor's fill µs | literal's fill µs | write s "
             "| plain to_csv s | ratio (budget %.2f) "
             "| same file and frames | module warnings: load / advance / predict / write | warnings in the fill "
             "| blocks of the yielded test / sample frames |" % (limit("fill"), limit("write")),
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|---:|---|"]
    return lines + [row_line(fill_cells(r)) for r in result["loop"] if measured(r, "module")]


def warning_messages(result):
    msgs = []
    for r in result["loop"]:
        m = measured(r, "module")
        for phase, text in (m or {}).get("messages", []):
            if (phase, text) not in msgs:
                msgs.append((phase, text))
    if not msgs:
        return []
    return ["", "Warnings seen in the module's runs (by phase):", ""] + ["- %s: `%s`" % (p, t) for p, t in msgs[:8]]


def loop_tables(result):
    return timing_table(result) + [""] + fill_table(result) + warning_messages(result)


def load_table(result):
    lines = ["### Load: the first advance against a plain `pd.read_csv` of the same bytes (real shape)", "",
             "| CSV MB | file MB | groups | first advance s | plain read_csv s | ratio (budget %.2f) "
             "| peak MB | plain peak MB | extra peak, in file sizes (budget %.1f) | runs | CPU share |" % (
                 limit("load"), limit("peak_files")),
             "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in result["load"]:
        lines.append("| %.0f | %.0f | {:,} | %.3f | %.3f | %.2f | %.0f | %.0f | %.2f | %d | %.2f |".format(
            r["groups"]) % (r["csv_mb"], r["file_mb"], r["module_s"], r["plain_s"], r["ratio"],
                            r["module_peak_mb"], r["plain_peak_mb"], r["peak_over_plain_in_files"],
                            r.get("runs", 0), r.get("cpu_share", float("nan"))))
    return lines


def busy_note(results):
    """A warning when some loop run got less than 90% of a core: its figures are inflated."""
    low = []
    for r in results:
        shares = [row[k].get("cpu_share", 1.0) for row in r["loop"] for k in ("module", "floor", "literal")
                  if measured(row, k)] + [row.get("cpu_share", 1.0) for row in r.get("load") or []]
        if shares and min(shares) < 0.9:
            low.append("%s (%.2f)" % (libraries(r["versions"]), min(shares)))
    if not low:
        return []
    return ["**The machine was busy**: some runs got less than 90%% of a core (lowest CPU share: %s); "
            "their per-group figures are inflated and noisy (the CPU-time column of the loop tables is less "
            "affected)." % ", ".join(low), ""]


def budget_table(results):
    """One line per budget of the table of budgets, one column per interpreter."""
    lines = ["| budget | " + " | ".join(libraries(r["versions"]) for r in results) + " |",
             "|---|" + "---|" * len(results)]
    table = [assess(r) for r in results]
    for i, budget in enumerate(BUDGETS):
        cells = ["%s, %s" % t[i] if t[i][1] != "-" else t[i][0] for t in table]
        lines.append("| %s | %s |" % (title(budget), " | ".join(cells)))
    return lines


def summary_table(result):
    """The real shape's loop figures of one interpreter, in a few columns (for the README)."""
    lines = ["| groups | advance µs | predict µs | advance + predict µs | floor µs | ratio | literal steps µs "
             "| fill of the yielded frame / of a consolidated copy µs |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in result["loop"]:
        if r["shape"] != "real":
            continue
        m, f, lit = measured(r, "module"), measured(r, "floor"), measured(r, "literal")
        if not m:
            lines.append("| {:,} | not measured: {} | | | | | | |".format(r["groups"], r["module"]["skipped"]))
            continue
        lines.append("| {:,} | {} | {} | {} | {} | {} | {} | {} / {} |".format(
            r["groups"], fmt_us(m["advance_us"]), fmt_us(m["predict_us"]), fmt_us(m["step_us"]),
            fmt_us(f["step_us"]) if f else "-", "%.2f" % (m["step_us"] / f["step_us"]) if f else "-",
            fmt_us(lit["step_us"]) if lit else "-", fmt_us(m["fill_us"]), fmt_us(m["reference_fill_us"])))
    return lines


def intro(results):
    quick = any(r["quick"] for r in results)
    return ("%s run of `bench/run.py%s` on %d cores, %s. Loop figures are medians per group over the "
            "groups of a run, then the median over the runs; every ratio compares figures measured side by "
            "side in the same run on the same interpreter. \"advance + predict\" is the environment's own "
            "work per group; the participant's fill (`sample_prediction_df.iloc[0, :] = values`) is timed "
            "apart. The mean per group (the loop's advances, the last one included, and predicts, over the "
            "groups) shows what the median hides: work done once every so many groups. The floor is the "
            "least public pandas can do on consolidated frames (slices of one sorted "
            "copy, one copy per yielded frame, the insert, one copy of the answer); the literal steps are the "
            "documented pandas calls in their order, measured at fewer groups (see the runs column)." % (
                "A quick" if quick else "A full", " --quick" if quick else "", results[0]["cores"],
                results[0].get("date", "")))


def images(results, prefix):
    lines = []
    if any(r["loop"] for r in results):
        lines += ["![per-group cost against groups, for each pandas](%splot.png)" % prefix, ""]
    if any(r.get("load") for r in results):
        lines += ["![load time against CSV size](%sload.png)" % prefix, ""]
    return lines


def interpreter_section(r):
    lines = ["## %s" % interpreter_title(r), "",
             "Took %.0f s; module %s." % (r["elapsed_s"], os.path.basename(r.get("module", "?"))), ""]
    if r["loop"]:
        lines += loop_tables(r) + [""]
    if r.get("load"):
        lines += load_table(r) + [""]
    return lines


def python_order(r):
    return [int(x) for x in r["versions"]["python"].split(".")[:2]], bool(r["versions"].get("pyarrow"))


def report(results, out_dir):
    """results.md and the plots into out_dir; the README's summary too after a full run into
    bench/results."""
    os.makedirs(out_dir, exist_ok=True)
    results = sorted(results, key=python_order)
    lines = ["# Benchmark results", "", intro(results), ""]
    shapes = [s for s in SHAPES if any(row["shape"] == s for r in results for row in r["loop"])]
    lines += ["Shapes:", ""] + ["- %s" % SHAPES[s]["label"] for s in shapes] + [""]
    lines += ["## Budgets (real shape)", ""] + busy_note(results) + budget_table(results) + [""]
    for r in results:
        lines += interpreter_section(r)
    lines += images(results, "")
    with open(os.path.join(out_dir, "results.md"), "w") as f:
        f.write("\n".join(lines))
    plot(results, out_dir)
    if os.path.abspath(out_dir) == os.path.join(BENCH, "results") and not any(r["quick"] for r in results):
        update_readme(results)


def update_readme(results):
    """The summary of a full run into the README's Performance section, between its markers."""
    path = os.path.join(ROOT, "README.md")
    with open(path) as f:
        text = f.read()
    if text.count(README_BEGIN) != 1 or text.count(README_END) != 1:
        print("README.md has no bench results markers: not updated", file=sys.stderr)
        return
    lines = [intro(results), "", "Budgets (real shape):", ""] + busy_note(results) + budget_table(results) + [""]
    for r in results:
        if r["loop"]:
            lines += ["%s, real shape:" % interpreter_title(r), ""] + summary_table(r) + [""]
    lines += images(results, "bench/results/")
    head, rest = text.split(README_BEGIN)
    _, tail = rest.split(README_END)
    with open(path, "w") as f:
        f.write(head + README_BEGIN + "\n" + "\n".join(lines) + README_END + tail)
    print("summary written to README.md")


def replace_figures(out_dir, files):
    """The JSON files in out_dir (py*.json) replaced by the given ones."""
    os.makedirs(out_dir, exist_ok=True)
    for old in glob.glob(os.path.join(out_dir, "py*.json")):
        os.remove(old)
    for path in files:
        shutil.copy(path, out_dir)


def report_files(figures_dir, out_dir):
    """No measurement: the report from the *.json files in figures_dir, copied beside it."""
    files = sorted(glob.glob(os.path.join(figures_dir, "*.json")))
    if not files:
        sys.exit("no results (*.json) in %s" % figures_dir)
    results = []
    for path in files:
        with open(path) as f:
            results.append(json.load(f))
    if os.path.abspath(figures_dir) != os.path.abspath(out_dir):
        replace_figures(out_dir, files)
    report(results, out_dir)
