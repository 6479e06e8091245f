"""Runs reuse the storage of earlier runs' series. Arrays a caller still holds
must never be handed to a later run, and a run must not depend on what the
reused memory held before."""

import numpy as np
import pytest

import tidemark as tm
from runner_util import walk_bars


def columns(n, seed):
    rng = np.random.default_rng(seed)
    return (*walk_bars(rng, n), rng.random(n) < 0.03, rng.random(n) < 0.03)


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
        tm.run_single_backtest(*columns(n, seed), config=cfg)  # dropped at once: its storage is free again
    again = tm.run_single_backtest(*columns(n, 1), config=cfg)

    assert all(np.array_equal(a, b) for a, b in zip(held, kept[:3]))
    got = snapshot(again)
    assert [a.tobytes() for a in got[:3]] == [b.tobytes() for b in kept[:3]]
    assert got[3] == kept[3] and repr(got[4]) == repr(kept[4])
