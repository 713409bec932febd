"""The benchmark's parts: the generated data, the module under test, the floor, the participant's
loop, the load, memory, the table of budgets, the report and the plots. `bench/run.py` drives them.

Importing the package puts the kit (for the data and the sealing) and `bench/` (for the literal
steps) on the path, so that it works however run.py was started.
"""
import os
import sys

BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(BENCH)
RUN = os.path.join(BENCH, "run.py")

sys.path.insert(0, os.path.join(ROOT, "kit"))
sys.path.insert(0, BENCH)
