"""The table of budgets: each figure the benchmark judges, its limit, and how it is read from one
interpreter's result. The report's budget table, the budgets named in the other tables' headers
and the plot's budget line all come from here. Budgets are reported as pass or miss; nothing
asserts them."""
import collections

from .rows import fill_ratio, fmt_us, measured, same_bytes
from .target import pandas_major

# key: how the tables and the plot name it; title: its line in the budget table, formatted with
# the limits; limits: (on pandas 3 and later, on earlier pandas), None where it does not apply;
# at_most: the figure must not exceed the limit (else: must reach it); figure: (value, text) from
# a Measured result, None where not measured; missing: the text then.
Budget = collections.namedtuple("Budget", "key title limits at_most figure missing")


class Measured(object):
    """The rows of one interpreter's result that the budgets read: at the real shape, those where
    the module was measured (mod), with the floor too (both), with the literal steps too (lit)."""

    def __init__(self, result):
        self.result = result
        real = [r for r in result["loop"] if r["shape"] == "real"]
        self.mod = [r for r in real if measured(r, "module")]
        self.both = [r for r in self.mod if measured(r, "floor")]
        self.lit = [r for r in self.mod if measured(r, "literal")]
        self.load = result.get("load") or []


def at(worst, text):
    """(value, text) of the worst (value, groups) pair, None when there is none."""
    return (worst[0], text % worst) if worst else None


def floor_ratio(m):
    return at(max(((r["module"]["step_us"] / r["floor"]["step_us"], r["groups"]) for r in m.both), default=None),
              "x%.2f (at %d groups)")


def per_group(m):
    worst = max(((r["module"]["step_us"], r["groups"]) for r in m.mod), default=None)
    return (worst[0], "%s µs (at %d groups)" % (fmt_us(worst[0]), worst[1])) if worst else None


def literal_speedup(m):
    return at(min(((r["literal"]["step_us"] / r["module"]["step_us"], r["groups"]) for r in m.lit), default=None),
              "x%.1f (at %d groups)")


def growth(m):
    if len(m.mod) < 2:
        return None
    value = max(r["module"]["step_us"] for r in m.mod[1:]) / m.mod[0]["module"]["step_us"]
    return value, "x%.2f (%d to %d groups)" % (value, m.mod[0]["groups"], m.mod[-1]["groups"])


def fill(m):
    return at(max(((fill_ratio(r), r["groups"]) for r in m.mod), default=None), "x%.2f (at %d groups)")


def write(m):
    if not m.both:
        return None
    r = m.both[-1]
    return at((r["module"]["write_s"] / r["floor"]["plain_write_s"], r["groups"]), "x%.2f (at %d groups)")


def load(m):
    value = max((r["ratio"] for r in m.load), default=None)
    return (value, "x%.2f" % value) if m.load else None


def peak(m):
    value = max((r["peak_over_plain_in_files"] for r in m.load), default=None)
    return (value, "%.2f file sizes" % value) if m.load else None


def module_warnings(m):
    if not m.mod:
        return None
    n = sum(r["module"]["warnings"][p] for r in m.mod for p in ("load", "advance", "predict", "write"))
    return n, "%d warnings" % n


def identical(m):
    rows = [r for r in m.result["loop"] if measured(r, "module")]
    if not rows:
        return None
    bad = [r["groups"] for r in rows if same_bytes(r) != "yes"]
    return len(bad), "all identical" if not bad else "differs at %s groups" % bad


def blank(m):
    clean = {r["groups"]: r for r in m.mod}
    pairs = [(r["module"]["step_us"] / clean[r["groups"]]["module"]["step_us"], r["groups"])
             for r in m.result["loop"] if r["shape"] == "blank" and measured(r, "module") and r["groups"] in clean]
    return at(max(pairs, default=None), "x%.2f (at %d groups)")


NOT_MEASURED, NOT_HERE = "not measured", "not measured here"
BUDGETS = [
    Budget("floor", "advance + predict at most {0:.1f} times the floor (every count)",
           (1.1, 1.1), True, floor_ratio, NOT_MEASURED),
    Budget("pandas3_us", "at most {0:.0f} µs per group on pandas 3 (every count)",
           (400.0, None), True, per_group, NOT_MEASURED),
    Budget("literal", "at least {0:.0f} times (pandas 3) or {1:.0f} times (others) faster than the literal steps",
           (5.0, 3.0), False, literal_speedup, NOT_MEASURED),
    Budget("flat", "flat: the per-group cost grows at most {0:.1f} times from the first count to any later one",
           (1.1, 1.1), True, growth, NOT_MEASURED),
    Budget("fill", "the participant's fill at most {0:.1f} times the same fill on a consolidated frame (every count)",
           (1.5, 1.5), True, fill, NOT_MEASURED),
    Budget("write", "write at most {0:.2f} times a plain to_csv of the consolidated accumulated frame (largest count)",
           (1.05, 1.05), True, write, NOT_MEASURED),
    Budget("load", "load at most {0:.2f} times a plain read_csv (every size)",
           (1.15, 1.15), True, load, NOT_HERE),
    Budget("peak_files", "extra peak memory of the load at most {0:.0f} file size (every size)",
           (1.0, 1.0), True, peak, NOT_HERE),
    Budget("warnings", "no warning from the module's own work (load, advance, predict, write)",
           (0, 0), True, module_warnings, NOT_MEASURED),
    Budget("identical", "the written file byte-identical to the floor's and the literal steps' "
           "(and the first yielded frames equal)", (0, 0), True, identical, NOT_MEASURED),
    Budget("blank", "blank test keys: advance + predict at most {0:.1f} times the real shape's at the same count",
           (1.1, 1.1), True, blank, NOT_MEASURED),
]
BY_KEY = {b.key: b for b in BUDGETS}


def title(budget):
    return budget.title.format(*budget.limits)


def limit(key, major=3):
    """The limit of a budget on a pandas major version."""
    return BY_KEY[key].limits[0 if major >= 3 else 1]


def verdict(ok):
    return "pass" if ok else "**miss**"


def assess(result):
    """[(figure, verdict)] for one interpreter's result, in the order of BUDGETS; the verdict is
    "-" where the figure was not measured or the budget does not apply."""
    major = pandas_major(result["versions"]["pandas"])
    m = Measured(result)
    out = []
    for budget in BUDGETS:
        bound = limit(budget.key, major)
        figure = budget.figure(m) if bound is not None else None
        if figure is not None:
            value, text = figure
            out.append((text, verdict(value <= bound if budget.at_most else value >= bound)))
        else:
            out.append(("n/a" if bound is None else budget.missing, "-"))
    return out
