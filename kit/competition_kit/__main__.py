"""python -m competition_kit: the competition-kit command."""
import sys

from .cli import main

sys.exit(main())
