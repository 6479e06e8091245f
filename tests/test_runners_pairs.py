"""run_pairs_backtest: legs, hedge ratios, fill timing, exact curves and round-trip statistics."""

import math

import numpy as np
import pytest

import _tidemark as tm
from runner_util import DAY, flags

BC = tm.BacktestConfig


def leg(close, open_=None, shift=0, unread=1.0):
    c = np.asarray(close, dtype=np.float64)
    o, u = c.copy() if open_ is None else np.asarray(open_, dtype=np.float64), np.full(len(c), unread)
    return np.arange(len(c), dtype=np.int64) * DAY + shift, o, u, u, c, u


def run(c1, c2, entries=(), exits=(), o1=None, o2=None, unread=1.0, **kw):
    n = len(c2)
    return tm.run_pairs_backtest(*leg(c1, o1, 0, unread), *leg(c2, o2, 5, unread), flags(n, entries),
                                 flags(n, exits), **kw)


C1, C2 = [10.0, 10.0, 12.0, 11.0, 11.0], [20.0, 20.0, 18.0, 22.0, 22.0]


@pytest.mark.parametrize("direction, hedge, x, u2, eq, pnl, notional, open_fee, exit_fee", [
    (1, 1.0, 3, 2500.0, [100000, 99900, 114900, 99790, 99790], -210.0, 100000.0, 100.0, 110.0),
    (-1, 1.0, 3, 2500.0, [100000, 99900, 84900, 99790, 99790], -210.0, 100000.0, 100.0, 110.0),
    (1, 2.0, 3, 5000.0, [100000, 99850, 119850, 94685, 94685], -5315.0, 150000.0, 150.0, 165.0),
    # closed at the end of the data: the exit fees come out of the last equity point
    (1, 1.0, 4, 2500.0, [100000, 99900, 114900, 99900, 99790], -210.0, 100000.0, 100.0, 110.0),
])
def test_round_trip_books_every_fee_into_the_legs(direction, hedge, x, u2, eq, pnl, notional, open_fee, exit_fee):
    res = run(C1, C2, [1], [x] if x < 4 else [], unread=math.nan, direction=direction, hedge_ratio=hedge,
              symbol="HDFC")
    why = "Signal" if x < 4 else "EndOfData"
    assert res.equity_curve() == pytest.approx(eq, rel=1e-12)
    a, b = res.trades()
    assert [(t.id, t.symbol, t.direction, t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.size, t.entry_time,
             t.exit_time, t.exit_reason, t.fee_breakdown) for t in (a, b)] == \
        [(0, "HDFC_LEG1", direction, 1, x, 10, 11, 5000, DAY, x * DAY, why, None),
         (1, "HDFC_LEG2", -direction, 1, x, 20, 22, u2, DAY + 5, x * DAY + 5, why, None)]
    half = pytest.approx((pnl / 2, pnl / notional * 50, open_fee / 2, exit_fee / 2, (open_fee + exit_fee) / 2),
                         rel=1e-12)
    assert [(t.pnl, t.return_pct, t.entry_fees, t.exit_fees, t.fees) for t in (a, b)] == [half, half]
    m = res.metrics
    assert (m.end_value, m.total_fees_paid) == pytest.approx((100000 + pnl, open_fee + exit_fee), rel=1e-12)
    assert (m.total_trades, m.winning_trades, m.losing_trades, m.profit_factor) == (1, 0, 1, 0.0)


def test_next_bar_fills_at_the_opens_and_marks_at_the_closes():
    res = run(C1, C2, [1], [3], o1=[9, 9, 10, 12, 10], o2=[19, 19, 20, 18, 21], config=BC(upon_bar_close=False))
    a, b = res.trades()
    assert [(t.entry_idx, t.exit_idx, t.entry_price, t.exit_price) for t in (a, b)] == \
        [(2, 4, 10, 10), (2, 4, 20, 21)]
    assert a.pnl == pytest.approx(-2702.5 / 2, rel=1e-12)
    assert res.equity_curve()[:4] == pytest.approx([100000, 100000, 114900, 99900], rel=1e-12)


X = 100.0 + np.arange(30.0)


@pytest.mark.parametrize("y, x, signal, next_bar, beta", [
    (3 * X + 5, X, 25, False, 3.0),
    (20 * X, X, 25, False, 10.0),                               # held at 10
    (0.01 * X, X, 25, False, 0.1),                              # held at 0.1
    (500 - X, X, 25, False, 0.1),
    (np.full(30, 305.0), np.full(30, 100.0), 25, False, 1.5),   # flat leg 2: no slope, the given ratio
    (3 * X + 5, X, 19, False, 1.5),                             # fewer than 21 bars so far
    (3 * X + 5, X, 20, True, 3.0),                              # fills on bar 21; window ends on bar 20
    (3 * X + 5, X, 19, True, 1.5),
])
def test_dynamic_hedge_ratio(y, x, signal, next_bar, beta):
    res = run(y, x, [signal], [], config=BC(upon_bar_close=not next_bar), hedge_ratio=1.5, dynamic_hedge=True)
    _, b = res.trades()
    # leg 2 is sized cash x 0.5 x beta / price on the first entry
    assert b.size * b.entry_price / 50000.0 == pytest.approx(beta, rel=1e-9)


def test_direction_is_checked():
    with pytest.raises(ValueError, match=r"^direction must be 1 \(long\) or -1 \(short\), got -2$"):
        run(C1, C2, direction=-2)


@pytest.mark.parametrize("c1, c2, capital", [
    ([10, 0, 10], [20] * 3, 1e5), ([10] * 3, [20, -1, 20], 1e5), ([10, math.nan, 10], [20] * 3, 1e5),
    ([10] * 3, [20] * 3, 0.0), ([10] * 3, [20] * 3, -500.0),
])
def test_entry_is_skipped_without_positive_prices_and_cash(c1, c2, capital):
    res = run(c1, c2, [1], [], config=BC(initial_capital=capital))
    assert res.trades() == [] and list(res.equity_curve()) == [capital] * 3


@pytest.mark.parametrize("legacy", [False, True])
def test_statistics_count_round_trips(legacy):
    # wins 10000, breaks even (counts as lost), loses 11000
    res = run([10, 12, 10, 10, 10, 8], [10.0] * 6, [0, 2, 4], [1, 3, 5],
              config=BC(fees=0.0, legacy_annualization=legacy))
    m = res.metrics
    assert (len(res.trades()), m.total_trades, m.winning_trades, m.losing_trades) == (6, 3, 1, 2)
    assert (m.win_rate_pct, m.profit_factor, m.end_value) == pytest.approx((100 / 3, 10 / 11, 99000.0))
    if legacy:
        r = np.array([t.return_pct / 100 for t in res.trades()])
        assert m.sharpe_ratio == pytest.approx(r.mean() * math.sqrt(252) / r.std(ddof=1), rel=1e-12)
