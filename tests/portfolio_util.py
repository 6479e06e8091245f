"""Helpers for building PortfolioSessions in tests."""

import numpy as np

import tidemark as tm


def i64(*v):
    return np.array(v, dtype=np.int64)


def f64(*v):
    return np.array(v, dtype=np.float64)


def session(*names, fees=0.0, account_type="cash", leverage=1.0, **cfg):
    """A session holding one instrument per name."""
    s = tm.PortfolioSession(tm.BacktestConfig(fees=fees, **cfg), account_type, leverage)
    for name in names:
        s.add_instrument(name)
    return s


def flat_bars(s, instrument, stamps, closes, volume=1000.0):
    """Bars whose open, high, low and close are all the given close."""
    c = np.array(closes, dtype=np.float64)
    s.set_bars(instrument, np.array(stamps, dtype=np.int64), c, c, c, c, np.full(len(c), volume))


def push_flat(s, instrument, ts, close):
    s.push_bar(instrument, ts, close, close, close, close, 1.0)


def drain(s, intents=None):
    """Applies every pending event; `intents[cursor]` holds apply keywords.
    Returns (cursor, event) pairs."""
    intents = intents or {}
    out = []
    cursor = len(s) - s.remaining()
    while s.remaining():
        out += [(cursor, e) for e in s.apply_current(**intents.get(cursor, {}))]
        cursor += 1
    return out
