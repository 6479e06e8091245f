"""run_basket_backtest: signal synchronisation, sizing, long and short legs, fill timing and statistics."""

import math

import pytest

import _tidemark as tm
from runner_util import DAY, indian_fees, instrument_row

BC, IC = tm.BacktestConfig, tm.InstrumentConfig
NAN = math.nan


def inst(close, entries=(), exits=(), direction=1, weight=1.0, symbol="A", open_=None, shift=0):
    """One instruments row; high, low and volume are NaN because the basket never reads them."""
    return instrument_row(close, entries, exits, direction, weight, symbol, open_, NAN, shift)


def spans(res):
    return sorted({(t.entry_idx, t.exit_idx) for t in res.trades()})


# per bar: entries counted 1 (bar 1), 2 (bar 2), 3 (bar 4); exits 1 (bar 6), 2 (bar 7), 3 (bar 8)
EN, EX = [{1, 2, 4}, {2, 4}, {4}], [{8}, {7, 8}, {6, 7, 8}]


@pytest.mark.parametrize("mode, raw_entries, raw_exits, expected", [
    ("all", EN, EX, [(4, 6)]), ("any", EN, EX, [(1, 8)]), ("majority", EN, EX, [(2, 7)]),
    ("master", EN, EX, [(1, 8)]), ("Master", EN, EX, [(4, 6)]),   # case matters: as all
    # four instruments: two of them are a majority
    ("majority", [{1, 3}, {3}, set(), set()], [{5}, {5, 6}, set(), set()], [(3, 5)]),
    # an exit on the entry bar is dropped; a later combined entry while open is ignored
    ("any", [{1, 3}, set()], [{1, 4}, {1, 4}], [(1, 4)]),
])
def test_sync_modes(mode, raw_entries, raw_exits, expected):
    rows = [inst([10.0] * 10, e, x, symbol=f"S{i}") for i, (e, x) in enumerate(zip(raw_entries, raw_exits))]
    res = tm.run_basket_backtest(rows, BC(fees=0.0), sync_mode=mode)
    assert spans(res) == expected
    assert len(res.trades()) == len(rows)      # the whole basket opens and closes together


PR, W, REST = (10, 20, 50), (1, 1, 2), {"B": 1250, "C": 1000}


@pytest.mark.parametrize("configs, prices, weights, sizes", [
    (None, PR, W, {"A": 2500, **REST}),
    ({"A": IC(alloted_capital=10000.0)}, PR, W, {"A": 1000, **REST}),
    ({"A": IC(alloted_capital=10000.0, lot_size=75.0)}, PR, W, {"A": 975, **REST}),
    ({"A": IC(lot_size=0.0, alloted_capital=NAN)}, PR, W, {"A": 2500, **REST}),
    ({"A": IC(lot_size=30000.0)}, PR, W, REST),                                 # a lot above the share
    ({"a": IC(lot_size=75.0), "Z": IC(lot_size=7.0)}, PR, W, {"A": 2500, **REST}),   # keys match exactly
    (None, (10, 0, 50), W, {"A": 2500, "C": 1000}),                             # an unpriced leg stays flat
    (None, (10, NAN, 50), W, {"A": 2500, "C": 1000}),
    (None, PR, (1, -1, 0), {}),                                                  # weights summing to 0
    (None, PR, (2, 1, -1), {"A": 10000, "B": 2500}),                             # a negative share
])
def test_sizing_by_weight_share_of_the_cash(configs, prices, weights, sizes):
    rows = [inst([p] * 3, [0], [2], weight=w, symbol=s) for p, w, s in zip(prices, weights, "ABC")]
    # the fees come out of the cash after sizing: every share is of the same 100000
    res = tm.run_basket_backtest(rows, BC(fees=0.001), instrument_configs=configs)
    assert {t.symbol: t.size for t in res.trades()} == pytest.approx(sizes, rel=1e-12)


# an end-of-data close pays its exit fee out of the final equity point
@pytest.mark.parametrize("x, why, eq", [(3, "Signal", [1e5, 99900, 114900, 99790, 99790]),
                                        (4, "EndOfData", [1e5, 99900, 114900, 99900, 99790])])
def test_long_and_short_legs_move_the_equity_with_their_pnl(x, why, eq):
    exits = [x] if x < 4 else []
    rows = [inst([10, 10, 12, 11, 11], [1], exits, 1, symbol="A"),
            inst([20, 20, 18, 22, 22], [1], exits, -1, symbol="B", shift=7)]
    res = tm.run_basket_backtest(rows)
    # 5000 long at 10 and 2500 short at 20, 50 of fees each; the short is worth 2500 x (40 - close)
    dd = (114900 - 99790) / 114900 * 100
    assert list(res.equity_curve()) == pytest.approx(eq, rel=1e-12)
    assert (res.drawdown_curve()[-1], res.returns()[2], res.returns()[-1]) == \
        pytest.approx((dd, 15000 / 99900, eq[-1] / eq[-2] - 1), rel=1e-12, abs=1e-15)
    a, b = res.trades()
    assert [(t.id, t.symbol, t.direction, t.entry_idx, t.exit_idx, t.exit_reason, t.entry_time, t.exit_time,
             t.entry_price, t.exit_price, t.size, t.fee_breakdown) for t in (a, b)] == \
        [(0, "A", 1, 1, x, why, DAY, x * DAY, 10, 11, 5000, None),
         (1, "B", -1, 1, x, why, DAY + 7, x * DAY + 7, 20, 22, 2500, None)]
    assert [(t.pnl, t.entry_fees, t.exit_fees, t.fees, t.return_pct) for t in (a, b)] == \
        [pytest.approx((4895, 50, 55, 105, 9.79), rel=1e-12), pytest.approx((-5105, 50, 55, 105, -10.21), rel=1e-12)]
    m = res.metrics
    assert (m.total_trades, m.winning_trades, m.losing_trades, m.win_rate_pct) == (2, 1, 1, 50.0)
    assert (m.end_value, m.total_return_pct, m.profit_factor, m.max_drawdown_pct, m.calmar_ratio) == \
        pytest.approx((99790, -0.21, 4895 / 5105, dd, -0.21 / dd), rel=1e-12)


def test_fee_side_follows_each_legs_direction():
    rows = [inst([10, 10, 11], [0], [2], 1, symbol="A"), inst([20, 20, 22], [0], [2], -1, symbol="B")]
    a, b = tm.run_basket_backtest(rows, BC(fee_segment="NSE")).trades()
    # the long opens with a buy and closes with a sell; the short the other way round
    for t, buy in ((a, True), (b, False)):
        entry, exit_ = indian_fees("NSE", buy, 50000), indian_fees("NSE", not buy, 55000)
        assert (t.entry_fees, t.exit_fees) == pytest.approx((sum(entry.values()), sum(exit_.values())), rel=1e-12)


OPENS = [9.0, 9.5, 10.5, 12.0, 10.0]
CLOSES = [10.0, 10.0, 12.0, 11.0, 11.0]


@pytest.mark.parametrize("cfg, entry, exit_", [
    (BC(fees=0.0, fill_timing="same_bar_open_lookahead"), (1, 10.0), (3, 11.0)),   # own loop: signal bar close
    (BC(fees=0.0, upon_bar_close=False), (2, 10.5), (4, 10.0)),
    (BC(fees=0.0, upon_bar_close=False, fill_timing="same_bar_close"), (1, 10.0), (3, 11.0)),
])
def test_fill_timing(cfg, entry, exit_):
    res = tm.run_basket_backtest([inst(CLOSES, [1], [3], open_=OPENS)], cfg)
    (t,) = res.trades()
    assert ((t.entry_idx, t.entry_price), (t.exit_idx, t.exit_price)) == (entry, exit_)
    units = 100000 / entry[1]
    assert res.equity_curve()[entry[0] + 1] == pytest.approx(units * CLOSES[entry[0] + 1], rel=1e-12)
    assert res.metrics.end_value == pytest.approx(units * exit_[1], rel=1e-12)


@pytest.mark.parametrize("rows, cfg, curve", [
    ([inst(CLOSES, [4], open_=OPENS)], BC(upon_bar_close=False), [1e5] * 5),      # a last-bar signal never fills
    ([inst([10, 11, 12], [0], [2])], BC(initial_capital=0.0), [0.0] * 3),         # flat curves, not NaN
    ([], BC(initial_capital=5000.0, legacy_annualization=True), []),
])
def test_runs_without_a_trade(rows, cfg, curve):
    res = tm.run_basket_backtest(rows, cfg, sync_mode="any")
    assert (res.trades(), list(res.equity_curve())) == ([], curve)
    assert list(res.drawdown_curve()) == list(res.returns()) == [0.0] * len(curve)
    d = res.metrics.to_dict()
    assert d.pop("Start Value") == d.pop("End Value") == cfg.initial_capital
    assert all(v in (0, None) for v in d.values())
    m = res.metrics
    assert (m.sortino_ratio, m.calmar_ratio, m.profit_factor, m.omega_ratio) == (0.0, 0.0, 0.0, 0.0)
