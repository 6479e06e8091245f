"""run_options_backtest: argument rules, sizing, fill timing, exact curves, fees and statistics."""

import math

import numpy as np
import pytest

import _tidemark as tm
from runner_util import DAY, add_fees, flags, indian_fees

BC = tm.BacktestConfig


def run(premiums, entry_bars=(), exit_bars=(), ts_step=DAY, **kw):
    """A run over `premiums` with flat bars of 100; `kw` may replace any array."""
    p = np.asarray(premiums, dtype=np.float64)
    n, b = len(p), np.full(len(p), 100.0)
    arrays = dict(timestamps=np.arange(n, dtype=np.int64) * ts_step, open=b, high=b, low=b, close=b, volume=b,
                  option_prices=p, entries=flags(n, entry_bars), exits=flags(n, exit_bars))
    return tm.run_options_backtest(**arrays | kw)


@pytest.mark.parametrize("kw, message", [
    (dict(option_type="ÇALL"), "unknown option_type çall; expected call/ce/c or put/pe/p"),  # not ASCII-only
    (dict(strike_selection="ITM3"), "unknown strike_selection itm3; expected atm, otm1, otm2, itm1 or itm2"),
    (dict(size_type="Percentage"), "unknown size_type percentage; expected percent, contracts, notional or risk"),
    (dict(option_open_prices=np.ones(2)),
     "option_open_prices has 2 entries but option_prices has 3; the two series must cover the same bars"),
    # before anything else: an earlier array that alone raises PanicException before the run, the direction
    (dict(timestamps=np.arange(2, dtype=np.int64), option_open_prices=np.ones(2)), "option_open_prices has 2 entries"),
    (dict(close=np.ones(4), exits=flags(2, []), option_open_prices=np.ones(4)), "option_open_prices has 4 entries"),
    (dict(direction=2, option_open_prices=np.ones(2)), "option_open_prices has 2 entries"),
    (dict(direction=2, option_type="x"), "direction must be 1 (long) or -1 (short), got 2"),   # checked first
])
def test_argument_rules(kw, message):
    with pytest.raises(ValueError) as exc:
        run([1.0, 2.0, 3.0], **kw)
    assert str(exc.value).startswith(message)


@pytest.mark.parametrize("size_type, value, lot, size", [
    ("percent", 1.0, 1, 9090), ("RISK", 0.5, 1, 4545),
    ("notional", 5000.0, 10, 450),                                  # floor(5000 / 110) = 45 contracts
    ("contracts", 2.9, 25, 50),                                     # truncated to 2
    ("contracts", 1e30, 1, 2.0**64 - 1),                            # saturates at the largest count
    ("contracts", -1.0, 1, None), ("contracts", math.nan, 1, None), ("contracts", math.inf, 1, None),
])
def test_contract_sizing(size_type, value, lot, size):     # mode texts in any case; type and strike change nothing
    res = run([11.0] * 3, [0], [2], size_type=size_type, size_value=value, lot_size=lot, config=BC(fees=0.0),
              option_type="Pe", strike_selection="OTM2")
    assert [(t.size, t.pnl, t.return_pct) for t in res.trades()] == ([] if size is None else [(size, 0.0, 0.0)])
    assert size is not None or list(res.equity_curve()) == [100000.0] * 3


@pytest.mark.parametrize("size_type, value, cfg", [
    ("contracts", 2.0, BC(fee_segment="NFO-OPT")),          # not the flat brokerage and its GST for nothing
    ("contracts", 2.0, BC(fee_segment="NFO-OPT", upon_bar_close=False)),
    ("percent", 1.0, BC()),                                 # no whole contract of 0 units per cash
])
def test_lot_size_zero_makes_no_trade(size_type, value, cfg):    # a fill of 0 units is no fill
    res = run([11.0] * 4, [0], [2], size_type=size_type, size_value=value, lot_size=0, config=cfg)
    assert (res.trades(), res.metrics.total_fees_paid, res.metrics.end_value) == ([], 0.0, cfg.initial_capital)
    assert list(res.equity_curve()) == [cfg.initial_capital] * 4


@pytest.mark.parametrize("cfg, opens, entry, exit_", [
    (BC(fees=0.0), None, (1, 20.0), (3, 40.0)),
    (BC(fees=0.0, fill_timing="same_bar_open_lookahead"), [9, 19, 29, 39, 49], (1, 20.0), (3, 40.0)),  # opens unread
    (BC(fees=0.0, upon_bar_close=False), [9, 19, 29, 39, 49], (2, 29.0), (4, 49.0)),
    (BC(fees=0.0, fill_timing="next_bar_open"), None, (2, 30.0), (4, 50.0)),
])
def test_fill_timing(cfg, opens, entry, exit_):
    opens = None if opens is None else np.asarray(opens, dtype=np.float64)
    res = run([10.0, 20.0, 30.0, 40.0, 50.0], [1], [3], config=cfg, size_type="contracts",
              option_open_prices=opens)
    (t,) = res.trades()
    assert (t.entry_idx, t.entry_price, t.exit_idx, t.exit_price) == (*entry, *exit_)
    # the position is marked at the bar's premium from its entry bar on
    assert res.equity_curve()[entry[0]] == 100000.0 - entry[1] + 10.0 * (entry[0] + 1)


@pytest.mark.parametrize("premiums, entries, cfg", [([], [], None), ([10.0, 20, 30], [2], BC(upon_bar_close=False))])
def test_runs_without_a_trade(premiums, entries, cfg):
    res = run(premiums, entries, config=cfg)          # a next-bar signal on the last bar never fills
    assert (res.trades(), list(res.equity_curve())) == ([], [100000.0] * len(premiums))
    assert (res.metrics.total_return_pct, res.metrics.max_drawdown_pct, res.metrics.end_value) == (0, 0, 100000.0)


def test_exact_curves_trades_and_statistics():
    # 3 contracts of 10 at a 1 % fee; entries at bars 1 and 4, exit at 3; the second position is
    # closed at the end of the data at the last premium, and the last point becomes the final cash.
    res = run([5.0, 10.0, 12.0, 8.0, 11.0], [1, 4], [3], config=BC(initial_capital=1000.0, fees=0.01),
              size_type="contracts", size_value=3, lot_size=10, direction=-1, symbol="NIFTY")
    dd = 129 / 10.57
    assert res.equity_curve() == pytest.approx([1000.0, 997.0, 1057.0, 934.6, 928.0], rel=1e-12)
    assert res.drawdown_curve() == pytest.approx([0, 0.3, 0, 122.4 / 10.57, dd], rel=1e-12)
    assert res.returns() == pytest.approx([0, -0.003, 60 / 997, -122.4 / 1057, -6.6 / 934.6], rel=1e-12)
    a, b = res.trades()
    assert [(t.id, t.symbol, t.direction, t.size, t.entry_idx, t.exit_idx, t.entry_time, t.exit_time, t.exit_price,
             t.exit_reason, t.fee_breakdown) for t in (a, b)] == \
        [(0, "NIFTY", -1, 30.0, 1, 3, DAY, 3 * DAY, 8.0, "Signal", None),
         (1, "NIFTY", -1, 30.0, 4, 4, 4 * DAY, 4 * DAY, 11.0, "EndOfData", None)]
    assert (a.entry_fees, a.exit_fees, a.fees, a.pnl, a.return_pct, b.pnl, b.return_pct) == \
        pytest.approx((3.0, 2.4, 5.4, -65.4, -21.8, -6.6, -2.0))
    m = res.metrics
    assert (m.start_value, m.end_value, m.total_return_pct, m.max_drawdown_pct, m.calmar_ratio, m.total_fees_paid) == \
        pytest.approx((1000.0, 928.0, -7.2, dd, -7.2 / dd, 12.0))
    assert (m.total_trades, m.winning_trades, m.losing_trades, m.win_rate_pct, m.profit_factor) == (2, 0, 2, 0.0, 0.0)


@pytest.mark.parametrize("premiums, entries, exits, spans", [
    # the processed signals count the skipped entry as open: bar 1's entry is ignored, bar 4's taken
    ([0.0, 5.0, 6.0, 7.0, 8.0, 9.0], [0, 1, 4], [3], [(4, 5, "EndOfData")]),
    ([10.0, 11.0, 12.0, 13.0], [0, 2], [2], [(0, 3, "EndOfData")]),     # an exit on an entry bar keeps it
])
def test_signals(premiums, entries, exits, spans):
    res = run(premiums, entries, exits, config=BC(fees=0.0))
    assert [(t.entry_idx, t.exit_idx, t.exit_reason) for t in res.trades()] == spans


@pytest.mark.parametrize("direction", [1, -1])
def test_direction_only_picks_the_fee_side(direction):
    res = run([100.0, 120.0], [0], [1], direction=direction, size_type="contracts", lot_size=50,
              config=BC(fee_segment="NFO-OPT"))
    (t,) = res.trades()
    entry, exit_ = indian_fees("NFO-OPT", direction == 1, 5000.0), indian_fees("NFO-OPT", direction == -1, 6000.0)
    want = add_fees(entry, exit_)
    got = t.fee_breakdown
    assert {k: got[k] for k in want} == pytest.approx(want, rel=1e-12)
    assert t.fees == pytest.approx(got["total"], rel=1e-12)
    assert t.pnl == pytest.approx(1000.0 - sum(want.values()), rel=1e-12)   # bought premium either way
    assert (t.direction, t.entry_fees) == (direction, pytest.approx(sum(entry.values()), rel=1e-12))


PREMS = [10.0, 12.0, 11.0, 9.0, 10.0, 13.0, 12.0]


@pytest.mark.parametrize("cfg, step, ppy", [
    (BC(fees=0.0, legacy_annualization=True), DAY, 252.0),     # from the trade returns: 20 %, -18.18 %, 20 %
    (BC(fees=0.0), DAY, 365.0),                                 # daily bars: a 365-day year
    (BC(periods_per_year=100.0), DAY, 100.0),
    (BC(), 60 * 10**9, 375 * 252.0),                          # minute bars, NSE session
    (BC(session_minutes=0.0), 60 * 10**9, 525_600.0),          # minute bars, round the clock
])
def test_annualisation_of_the_return_ratios(cfg, step, ppy):
    res = run(PREMS, [0, 2, 4], [1, 3, 6], ts_step=step, config=cfg, size_type="contracts")
    legacy = cfg.legacy_annualization
    r = np.array([t.return_pct / 100 for t in res.trades()]) if legacy else res.returns()
    down = math.sqrt(np.sum(np.minimum(r, 0) ** 2) / (len(r) - legacy))
    assert (res.metrics.sharpe_ratio, res.metrics.sortino_ratio) == \
        pytest.approx((math.sqrt(ppy) * r.mean() / r.std(ddof=1), math.sqrt(ppy) * r.mean() / down), rel=1e-12)
