"""Tools around the competition module: seal, inspect and bundle a competition (hosts), and
rehearse a notebook loop locally (participants)."""

# the one place of the version: the wheel's metadata reads it from here (pyproject.toml)
__version__ = "0.1.0"
