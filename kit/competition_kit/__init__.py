"""Tools around the competition module: seal, inspect and bundle a competition (hosts), and
rehearse a notebook loop locally (participants)."""

__version__ = "0.1.0"
