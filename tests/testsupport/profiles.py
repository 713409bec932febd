"""How many examples the property tests try: hypothesis profiles, one chosen by HYPOTHESIS_PROFILE.

Each property test states the count it tries under the default profile and asks examples() for
it; a profile with another max_examples scales every count by the same factor, so the tests keep
their weights relative to each other:

    default   hypothesis' own defaults: the counts as stated
    ci        the same counts, derandomized, no example database, and a failure prints the blob
              that reproduces it (@reproduce_failure): what recent hypothesis releases load by
              themselves when they find they run in CI, here for every release
    thorough  ten times as many examples

conftest.py registers the profiles and loads the one HYPOTHESIS_PROFILE names; without it,
hypothesis' own choice stands (its default, or its ci profile when it detects CI), and its
``--hypothesis-profile`` option works too. The tests keep their own deadlines and health checks.
COMPETITION_HYPOTHESIS_EXAMPLES, when set, is the count of every property test, whatever the
profile.
"""
import os

from hypothesis import HealthCheck, settings

UNIT = 100  # max_examples of the default profile: a test's count is relative to it


def register():
    default = settings.get_profile("default")
    settings.register_profile("ci", default, max_examples=UNIT, derandomize=True, database=None,
                              print_blob=True, deadline=None,
                              suppress_health_check=[HealthCheck.too_slow])
    settings.register_profile("thorough", default, max_examples=10 * UNIT)


def load(name=None):
    """Loads the named profile, else the one HYPOTHESIS_PROFILE names, if any."""
    name = name or os.environ.get("HYPOTHESIS_PROFILE")
    if name:
        settings.load_profile(name)  # an unknown name fails, naming it


def examples(count):
    """max_examples for a property test that tries count examples under the default profile."""
    value = os.environ.get("COMPETITION_HYPOTHESIS_EXAMPLES")
    if value:
        return int(value)
    return max(1, round(count * settings.default.max_examples / UNIT))
