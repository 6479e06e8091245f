"""Helpers shared by the strategy-runner tests."""

import contextlib

import numpy as np
import pytest

import _tidemark as tm

DAY = 86_400 * 10**9


def flags(n, idx):
    """A bool array of length n, True at the given indexes."""
    out = np.zeros(n, dtype=bool)
    out[list(idx)] = True
    return out


def walk_bars(rng, n, spread=0.002):
    """Minute bars (ts, o, h, l, c, v) of a 1 % walk from 100, each `spread` beyond its open and close."""
    close = 100.0 * np.exp(np.cumsum(rng.normal(0, 0.01, n)))
    open_ = np.concatenate((close[:1], close[:-1]))
    high = np.maximum(open_, close) * (1 + spread)
    low = np.minimum(open_, close) * (1 - spread)
    return np.arange(n, dtype=np.int64) * 60_000_000_000, open_, high, low, close, rng.uniform(1e2, 1e4, n)


def instrument_row(close, entries=(), exits=(), direction=1, weight=1.0, symbol="A", open_=None, fill=None,
                   shift=0):
    """One row of `instruments`, bars one day apart from `shift`; `fill` replaces high, low and volume."""
    c = np.asarray(close, dtype=np.float64)
    o = c.copy() if open_ is None else np.asarray(open_, dtype=np.float64)
    n = len(c)
    h, lo, v = (np.maximum(o, c), np.minimum(o, c), np.ones(n)) if fill is None else (np.full(n, fill),) * 3
    return (np.arange(n, dtype=np.int64) * DAY + shift, o, h, lo, c, v, flags(n, entries), flags(n, exits),
            direction, weight, symbol)


def random_row(rng, n, direction=1, symbol="A", weight=1.0):
    """An instruments row of a 2 % daily walk from 100 with random signals."""
    c = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, n)))
    o = c * rng.uniform(0.98, 1.02, n)
    h, lo = np.maximum(o, c) * rng.uniform(1.0, 1.02, n), np.minimum(o, c) * rng.uniform(0.98, 1.0, n)
    return (np.arange(n, dtype=np.int64) * DAY, o, h, lo, c, np.ones(n), rng.random(n) < 0.1, rng.random(n) < 0.1,
            direction, weight, symbol)


def same_result(a, b):
    """Two runs are the same run: every curve point, every trade field and every metric, exactly."""
    for curve in ("equity_curve", "drawdown_curve", "returns"):
        assert np.array_equal(getattr(a, curve)(), getattr(b, curve)(), equal_nan=True), curve
    fields = [f for f in dir(tm.Trade) if not f.startswith("_")]
    assert [[getattr(t, f) for f in fields] for t in a.trades()] == [[getattr(t, f) for f in fields]
                                                                     for t in b.trades()]
    for f in (f for f in dir(tm.BacktestMetrics) if not f.startswith("_") and f != "to_dict"):
        x, y = getattr(a.metrics, f), getattr(b.metrics, f)
        assert x == y or (x != x and y != y), f


@contextlib.contextmanager
def internal_fault(text):
    """The block must raise the engine's PanicException (no `except Exception` catches it) holding `text`."""
    with pytest.raises(BaseException) as info:
        yield
    assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)
    assert text in str(info.value)


# Two Indian cost schedules written out from their rate tables, independently of the engine.
RATES = {
    "NSE": dict(brokerage=0.0003, stt=0.00025, exchange_txn=3.07e-05, stamp_duty=3e-05),
    "NFO-OPT": dict(brokerage=None, stt=0.0015, exchange_txn=0.0003553, stamp_duty=3e-05),
}


def indian_fees(segment, buy, notional):
    """The itemised charges of one fill of `notional`, as a dict without the total."""
    r = RATES[segment]
    b = dict(brokerage=20.0 if r["brokerage"] is None else min(notional * r["brokerage"], 20.0),
             stt=0.0 if buy else r["stt"] * notional, exchange_txn=r["exchange_txn"] * notional,
             sebi_fee=1e-6 * notional, stamp_duty=r["stamp_duty"] * notional if buy else 0.0)
    b["gst"] = 0.18 * (b["brokerage"] + b["exchange_txn"] + b["sebi_fee"])
    return b


def add_fees(*parts):
    """Itemised charges summed item by item."""
    return {k: sum(p[k] for p in parts) for k in parts[0]}
