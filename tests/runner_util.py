"""Helpers shared by the strategy-runner tests."""

import numpy as np

DAY = 86_400 * 10**9


def flags(n, idx):
    """A bool array of length n, True at the given indexes."""
    out = np.zeros(n, dtype=bool)
    out[list(idx)] = True
    return out
