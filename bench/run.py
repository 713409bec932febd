"""Benchmarks of the competition module, each figure measured side by side in one run.

    python bench/run.py                  the full run on this interpreter; report in bench/results/
    python bench/run.py --quick          a short run (CI runs it so that it never rots)
    python bench/run.py --json FILE      measure only: the figures of this interpreter as JSON
    python bench/run.py --report DIR     the tables and plots from the JSON files in DIR

`./run.sh bench [--quick]` runs the loop on every interpreter of the test matrix (each writes
its JSON) and the load on the newest, then draws one report from all of them.

Loop: a participant's loop over the environment, at a shape like a real competition's (about
22 rows and 40 columns of floats, integers and text per group; a sample submission of PlayId and
199 prediction columns), and at today's small shape. The participant fills the yielded sample
frame (`sample_prediction_df.iloc[0, :] = values`) and passes it back. Every group's advance
(`next()`), `predict()` and the participant's fill are timed apart; the figures are medians per
group. The same loop drives, in the same run and on the same data:

- the module under test (COMPETITION_MODULE, or the installed `competition`);
- the literal steps: the documented pandas calls in the documented order (bench/literal_steps.py);
- the floor: the least public pandas can do on consolidated frames. One sorted, consolidated
  copy of each input at load; per group a positional slice and one copy of the test rows and of
  the sample rows, the insert of PlayId into the participant's frame and one copy of it; the
  copies collected and concatenated once, at the write.

The participant's fill is timed again on a consolidated copy of the same yielded frame (its
budget takes the faster of that and the floor's own fill), and the module's write against a plain
`to_csv` of the consolidated accumulated frame. The three written files are compared byte for
byte, and the frames yielded for the first groups with the floor's.
Warnings are counted by where they arise. Advance and predict are also timed in CPU time, and each
run's share of a core is recorded: below 0.9 the machine was busy and the wall-clock figures are
inflated. A run projected to take longer than --max-run-seconds is made once, or not at all.

Load: the first advance of the generator (both inputs decrypted and parsed, the groups indexed,
the first group served) against a plain pd.read_csv of the same CSV bytes from memory, and the
peak memory of each; each measurement in a fresh process.

Budgets are reported as pass or miss; nothing here asserts them. They are listed, each with the
figure it judges, in harness/budgets.py. The parts live in harness/: data (the generated inputs),
participant (the timed loop), floor, loop, load, memory, measure, budgets, report and plot.
"""
import argparse
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import BENCH  # noqa: E402
from harness.load import child_load  # noqa: E402
from harness.measure import measure  # noqa: E402
from harness.report import replace_figures, report, report_files  # noqa: E402


def parser():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="small counts and sizes, one run each")
    p.add_argument("--parts", default="loop,load", help="loop, load or both (default)")
    p.add_argument("--json", default=None, help="measure only and write the figures to this file")
    p.add_argument("--report", default=None, metavar="DIR",
                   help="no measurement: the report from the *.json files in DIR")
    p.add_argument("--out", default=None, help="results directory (default bench/results, or a "
                                               "temporary one for --quick)")
    p.add_argument("--real-groups", default=None, help="group counts at the real shape, e.g. 1000,3000")
    p.add_argument("--small-groups", default=None, help="group counts at the small shape")
    p.add_argument("--blank-groups", default=None, help="group counts at the real shape with a few blank "
                                                        "test keys (compare: the real shape at the same count)")
    p.add_argument("--literal-groups", default=None, help="counts (of the real ones) at which the "
                                                          "literal steps run too")
    p.add_argument("--load-sizes", default=None, help="CSV sizes in MB for the load, e.g. 10,100")
    p.add_argument("--repeats", type=int, default=None, help="runs per measurement")
    p.add_argument("--max-run-seconds", type=float, default=None,
                   help="a run projected to take longer is not made (default 240, quick 60)")
    return p


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--child":  # one load, in a fresh process
        return child_load(sys.argv[2], sys.argv[3])
    p = parser()
    args = p.parse_args()
    if args.report and args.json:
        p.error("--report makes no measurement: no --json with it")
    if not args.json:
        out_dir = args.out or (tempfile.mkdtemp(prefix="bench-") if args.quick else os.path.join(BENCH, "results"))
    if args.report:
        report_files(args.report, out_dir)
        print("results in %s" % out_dir)
        return
    result = measure(args)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
        print("figures in %s" % args.json)
        return
    replace_figures(out_dir, [])
    with open(os.path.join(out_dir, "%s.json" % result["versions"]["tag"]), "w") as f:
        json.dump(result, f, indent=1)
    report([result], out_dir)
    print("results in %s" % out_dir)


if __name__ == "__main__":
    main()
