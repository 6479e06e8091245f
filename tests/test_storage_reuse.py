"""Runs reuse the storage of earlier runs' series. Arrays a caller still holds
must never be handed to a later run, and a run must not depend on what the
reused memory held before."""

import numpy as np
import pytest

import tidemark as tm


def columns(n, seed):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0, 0.01, n)))
    open_ = np.concatenate(([close[0]], close[:-1]))
    high = np.maximum(open_, close) * 1.002
    low = np.minimum(open_, close) * 0.998
    volume = rng.uniform(1e3, 1e4, n)
    ts = np.arange(n, dtype=np.int64) * 60_000_000_000
    entries = rng.random(n) < 0.03
    exits = rng.random(n) < 0.03
    return ts, open_, high, low, close, volume, entries, exits


def snapshot(r):
    return (r.equity_curve().copy(), r.drawdown_curve().copy(), r.returns().copy(),
            [(t.entry_idx, t.exit_idx, t.pnl) for t in r.trades()], r.metrics.to_dict())


@pytest.mark.parametrize("n", [20_000, 300_000])
def test_held_results_survive_later_runs(n):
    cfg = tm.BacktestConfig(fee_segment="NSE-DELIVERY")
    cfg.set_atr_stop(2.0, 14)
    first = tm.run_single_backtest(*columns(n, 1), config=cfg)
    kept = snapshot(first)
    held = [first.equity_curve(), first.drawdown_curve(), first.returns()]
    del first  # the arrays now keep the storage alone
    for seed in (2, 3, 4):
        other = tm.run_single_backtest(*columns(n, seed), config=cfg)
        del other
    again = tm.run_single_backtest(*columns(n, 1), config=cfg)

    for a, b in zip(held, kept[:3]):
        assert np.array_equal(a, b)
    got = snapshot(again)
    for a, b in zip(got[:3], kept[:3]):
        assert a.tobytes() == b.tobytes()
    assert got[3] == kept[3]
    assert repr(got[4]) == repr(kept[4])
