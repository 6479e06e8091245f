"""run_tick_backtest: entries, the exit rules in order, cool-down, trade limits, costs and curves."""

import numpy as np
import pytest

import _tidemark as tm
from runner_util import add_fees, flags, indian_fees

SEC = 10**9


def run(ltp, entries=(0,), exits=(), bid=None, ask=None, step=SEC, **kw):
    n = len(ltp)
    bid, ask = (np.asarray(v, dtype=np.float64) for v in (bid or [99.0] * n, ask or [100.0] * n))
    u = np.full(n, np.nan)
    return tm.run_tick_backtest(np.arange(n, dtype=np.int64) * step, np.asarray(ltp, dtype=np.float64), bid, ask,
                                u, u, u, flags(n, entries), flags(n, exits), **kw)


FLAT = [100.0] * 4


@pytest.mark.parametrize("ltp, kw, want", [
    ([90, 100, 90, 100], {}, (0, 2, 100, 95, "StopLoss")),        # the entry tick itself is never checked
    ([100, 105, 111, 100], {}, (0, 2, 100, 110, "TakeProfit")),   # at the level, not at the print
    (FLAT, dict(exits=[2]), (0, 2, 100, 99, "Signal")),
    ([100, 100, 101, 100], dict(exits=[2], bid=[99, 99, 0, 99]), (0, 2, 100, 101, "Signal")),
    (FLAT, dict(exits=[2], max_hold_seconds=2), (0, 2, 100, 99, "TimeExit")),
    (FLAT, dict(max_hold_seconds=3), (0, 3, 100, 99, "TimeExit")),
    (FLAT, dict(step=3600 * SEC), (0, 1, 100, 99, "TimeExit")),
    (FLAT, dict(step=3600 * SEC, max_hold_seconds=0), (0, 3, 100, 99, "EndOfData")),
    # 18446744074 s is 2^64 ns and a little more: it means never, not 0.29 s after wrapping
    (FLAT, dict(max_hold_seconds=18_446_744_074), (0, 3, 100, 99, "EndOfData")),
    ([101] * 4, dict(ask=[0, 100, 100, 100]), (0, 3, 101, 99, "EndOfData")),
    ([-1, 100, 100, 100], dict(entries=[0, 1], ask=[0, 100, 100, 100]), (1, 3, 100, 99, "EndOfData")),
    (FLAT, dict(stop_loss_pct=0.0, take_profit_pct=0.0), (0, 1, 100, 100, "StopLoss")),
    ([100, 90, 100, 100], dict(slippage=0.01), (0, 1, 101, 95.95 * 0.99, "StopLoss")),
])
def test_entry_and_exit_rules(ltp, kw, want):
    check_one_trade(ltp, kw, want)


NAN = float("nan")
NO_BID = [99, 99, 0, 0, 0]


# An ltp not above 0 is no print: no stop or target fires on it, and an exit that would sell at it
# waits for a price, or at the end takes the last print since the entry.
@pytest.mark.parametrize("ltp, kw, want", [
    ([100, 0, 100, 100], {}, (0, 3, 100, 99, "EndOfData")),
    ([100, 100, 100, -1], dict(bid=[99, 99, 99, 0]), (0, 3, 100, 100, "EndOfData")),
    ([100, 104, NAN, NAN], dict(bid=[99, 0, 0, 0]), (0, 3, 100, 104, "EndOfData")),
    ([0, 0, 0], dict(bid=[0, 0, 0]), (0, 2, 100, 100, "EndOfData")),    # bought at the ask, never a print
    ([100, 100, NAN, 100], dict(exits=[2], bid=[99, 99, 0, 99]), (0, 3, 100, 99, "Signal")),
    ([100, 100, 0, 0, 103], dict(max_hold_seconds=2, bid=NO_BID), (0, 4, 100, 103, "TimeExit")),
    ([100, 100, 0, 0, 90], dict(exits=[2], bid=NO_BID), (0, 4, 100, 95, "StopLoss")),
    ([100, 100, 0, 0, 0], dict(exits=[2], bid=NO_BID), (0, 4, 100, 100, "Signal")),
])
def test_ticks_without_a_print(ltp, kw, want):
    check_one_trade(ltp, kw, want)


def check_one_trade(ltp, kw, want):
    (t,) = run(ltp, **kw).trades()
    assert ((t.entry_idx, t.exit_idx), t.exit_reason) == (want[:2], want[4])
    assert (t.entry_price, t.exit_price) == pytest.approx(want[2:4], rel=1e-12)
    fees = 0.001 * (t.entry_price + t.exit_price)
    assert (t.pnl, t.fees, t.size, t.direction, t.symbol) == (pytest.approx(t.exit_price - t.entry_price - fees),
                                                              pytest.approx(fees), 1.0, 1, "TICK")
    assert t.return_pct == pytest.approx(t.pnl / t.entry_price * 100)
    assert (t.entry_time, t.exit_time) == (t.entry_idx * kw.get("step", SEC), t.exit_idx * kw.get("step", SEC))


@pytest.mark.parametrize("cooldown, second", [(10, 30), (0, 21), (1, 21), (2**64 - 1, None)])
def test_cooldown_counts_from_the_exit_tick(cooldown, second):
    res = run([100.0] * 40, entries=[5, *range(21, 40)], exits=[20], entry_cooldown_ticks=cooldown)
    got = [(t.entry_idx, t.exit_idx) for t in res.trades()]
    assert got == [(5, 20)] + ([] if second is None else [(second, 39)])


@pytest.mark.parametrize("limit, count", [(0, 0), (1, 1), (2, 2), (None, 6)])
def test_max_trades(limit, count):
    kw = {} if limit is None else dict(max_trades=limit)
    res = run([100.0] * 12, entries=range(12), exits=range(12), entry_cooldown_ticks=0, **kw)
    assert [t.id for t in res.trades()] == list(range(count))
    assert len(res.equity_curve()) == count + 1


@pytest.mark.parametrize("kw", [dict(quantity=0), dict(lot_size=0), dict(entries=[3])])  # last-tick entry too
def test_runs_without_a_trade(kw):
    res = run(FLAT, initial_capital=5000.0, **kw)
    assert (res.trades(), list(res.equity_curve()), list(res.drawdown_curve()), len(res.returns())) == \
        ([], [5000.0], [0.0], 0)
    m = res.metrics
    assert (m.start_value, m.end_value, m.total_trades, m.sortino_ratio, m.profit_factor, m.avg_win_pct) == \
        (5000.0, 5000.0, 0, 0.0, 0.0, None)


def test_one_curve_point_per_trade():
    # +10 at the target, then -5 at the stop, one unit at a time and no fees
    res = run([100, 111, 100, 100, 94, 100], entries=[0, 2], entry_cooldown_ticks=0, fees=0.0, initial_capital=1000.0)
    assert [t.pnl for t in res.trades()] == pytest.approx([10.0, -5.0], rel=1e-12)
    assert res.equity_curve() == pytest.approx([1000.0, 1010.0, 1005.0], rel=1e-12)
    assert res.returns() == pytest.approx([0.01, -5 / 1010], rel=1e-12)
    assert res.drawdown_curve() == pytest.approx([0, 0, 500 / 1010], rel=1e-12)
    assert (res.metrics.max_drawdown_pct, res.metrics.winning_trades) == (pytest.approx(500 / 1010, rel=1e-12), 1)


@pytest.mark.parametrize("segment", ["NSE", None])
def test_costs_per_trade(segment):
    (t,) = run([100, 105, 111, 100], quantity=10, lot_size=5, fee_segment=segment).trades()
    assert (t.size, t.entry_price, t.exit_price) == pytest.approx((50.0, 100.0, 110.0), rel=1e-12)
    if segment is None:
        assert (t.fee_breakdown, t.fees) == (None, pytest.approx(0.001 * 10500))
        return
    entry, exit_ = indian_fees("NSE", True, 5000.0), indian_fees("NSE", False, 5500.0)
    want = add_fees(entry, exit_)
    assert {k: t.fee_breakdown[k] for k in want} == pytest.approx(want, rel=1e-12)
    assert (t.entry_fees, t.exit_fees) == pytest.approx((sum(entry.values()), sum(exit_.values())), rel=1e-12)
    assert t.pnl == pytest.approx(500.0 - sum(want.values()), rel=1e-12)


def test_quantity_is_checked_before_anything_else():
    ts, x = np.zeros(3, dtype=np.int64), np.ones(3)
    with pytest.raises(ValueError, match=r"^tick backtests are long-only: quantity must be >= 0, got -1$"):
        tm.run_tick_backtest(ts, x, x, x, x, x, x, flags(2, []), flags(1, []), quantity=-1)
