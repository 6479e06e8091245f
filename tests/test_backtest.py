"""run_single_backtest and resolve_atr_period: fills, exits, costs, accounting and argument handling.

Unless a test says otherwise the run uses the default configuration: capital 100000 and a flat
0.001 fee, so a full-capital long at price P buys q = 100000 / (1.001 * P) units and pays
0.001 * q * P on each side.
"""

import math

import numpy as np
import pytest

import _tidemark as tm
from runner_util import DAY, flags, internal_fault, same_result

BC, IC = tm.BacktestConfig, tm.InstrumentConfig


def bars(close, open_=None, high=None, low=None):
    close = np.asarray(close, dtype=np.float64)
    open_ = close.copy() if open_ is None else np.asarray(open_, dtype=np.float64)
    high = np.maximum(open_, close) if high is None else np.asarray(high, dtype=np.float64)
    low = np.minimum(open_, close) if low is None else np.asarray(low, dtype=np.float64)
    ts = np.arange(len(close), dtype=np.int64) * DAY
    return ts, open_, high, low, close, np.full(len(close), 1000.0)


def run(close, entries=(), exits=(), open_=None, high=None, low=None, **kwargs):
    n = len(close)
    return tm.run_single_backtest(*bars(close, open_, high, low), flags(n, entries), flags(n, exits), **kwargs)


def full_size(price, capital=100000.0, fees=0.001):
    return capital / ((1.0 + fees) * price)


def stop_target_config(stop=None, target=None, **kwargs):
    cfg = BC(**kwargs)
    if stop is not None:
        getattr(cfg, "set_" + stop[0])(*stop[1:])
    if target is not None:
        getattr(cfg, "set_" + target[0])(*target[1:])
    return cfg


# --- fill timing ---------------------------------------------------------------------------------

OPENS = [10.0, 20.0, 30.0, 40.0, 50.0, 60.0]
CLOSES = [11.0, 21.0, 31.0, 41.0, 51.0, 61.0]


@pytest.mark.parametrize("cfg, entry, exit_", [
    (BC(), (1, 21.0), (3, 41.0)),                                   # upon_bar_close: the signal bar's close
    (BC(upon_bar_close=False), (2, 30.0), (4, 50.0)),               # next bar's open
    (BC(fill_timing="next_bar_open"), (2, 30.0), (4, 50.0)),
    (BC(upon_bar_close=False, fill_timing="same_bar_close"), (1, 21.0), (3, 41.0)),  # explicit timing wins
    (BC(fill_timing="same_bar_open_lookahead"), (1, 20.0), (3, 40.0)),               # the signal bar's open
])
def test_fill_timing(cfg, entry, exit_):
    res = run(CLOSES, [1], [3], open_=OPENS, config=cfg)
    (t,) = res.trades()
    assert (t.entry_idx, t.entry_price) == entry
    assert (t.exit_idx, t.exit_price) == exit_
    assert (t.entry_time, t.exit_time) == (entry[0] * DAY, exit_[0] * DAY)
    assert t.exit_reason == "Signal" and t.direction == 1
    assert t.size == pytest.approx(full_size(entry[1]), rel=1e-12)


def test_next_bar_open_signals_on_the_last_bar_are_never_filled():
    cfg = BC(upon_bar_close=False)
    # an entry on the last bar has no next bar to fill on
    res = run(CLOSES[:4], [3], [], open_=OPENS[:4], config=cfg)
    assert res.trades() == [] and list(res.equity_curve()) == [100000.0] * 4
    # an exit on the last bar is deferred too: the position is closed by the end of the data instead
    (t,) = run(CLOSES[:4], [0], [3], open_=OPENS[:4], config=cfg).trades()
    assert (t.entry_idx, t.entry_price) == (1, 20.0)
    assert (t.exit_idx, t.exit_price, t.exit_reason) == (3, 41.0, "EndOfData")


def test_deferred_entry_uses_the_size_of_the_signal_bar():
    sizes = np.array([0.5, 0.25, 0.25, 0.25, 0.25, 0.25])
    res = run(CLOSES, [0], [], open_=OPENS, config=BC(upon_bar_close=False), position_sizes=sizes)
    (t,) = res.trades()
    # asked on bar 0 with 0.5, filled at bar 1's open 20
    assert t.entry_idx == 1 and t.size == pytest.approx(0.5 * 100000 / (1.001 * 20.0), rel=1e-12)


# --- stops and targets ---------------------------------------------------------------------------

@pytest.mark.parametrize("direction, adaptive, bar_open, bar_close, reason, price", [
    # long: stop 100 * 0.95 = 95, target 100 * 1.1 = 110; the bar spans 94..112
    (1, False, 105.0, 98.0, "StopLoss", 95.0),
    (1, True, 105.0, 98.0, "TakeProfit", 110.0),   # red candle: ran up to the target first
    (1, True, 98.0, 105.0, "StopLoss", 95.0),
    (1, True, 100.0, 100.0, "StopLoss", 95.0),
    # short: stop 105, target 90; the bar spans 89..106
    (-1, False, 95.0, 102.0, "StopLoss", 105.0),
    (-1, True, 95.0, 102.0, "TakeProfit", 90.0),   # green (or flat) candle: ran down to the target first
    (-1, True, 100.0, 100.0, "TakeProfit", 90.0),
    (-1, True, 102.0, 95.0, "StopLoss", 105.0),
])
def test_stop_and_target_on_one_bar(direction, adaptive, bar_open, bar_close, reason, price):
    cfg = stop_target_config(("fixed_stop", 0.05), ("fixed_target", 0.10), bar_path_adaptive=adaptive)
    hi, lo = (112.0, 94.0) if direction == 1 else (106.0, 89.0)
    res = run([100.0, bar_close, 100.0], [0], [], open_=[100.0, bar_open, 100.0],
              high=[100.0, hi, 100.0], low=[100.0, lo, 100.0], direction=direction, config=cfg)
    (t,) = res.trades()
    assert (t.exit_idx, t.exit_reason) == (1, reason)
    assert t.exit_price == pytest.approx(price, rel=1e-12)


@pytest.mark.parametrize("direction, stop, target, limit_slip, bar, price, reason", [
    (1, ("fixed_stop", 0.05), None, 0.0, (90, 91, 88, 89), 90.0, "StopLoss"),       # gap below the 95 stop
    (-1, ("fixed_stop", 0.05), None, 0.0, (110, 112, 109, 111), 110.0, "StopLoss"),  # gap above the 105 stop
    (1, None, ("fixed_target", 0.10), 0.0, (115, 116, 114, 115), 110.0, "TakeProfit"),  # target fills at its level
    (1, None, ("fixed_target", 0.10), 0.001, (115, 116, 114, 115), 110.0 * 0.999, "TakeProfit"),
    (-1, None, ("fixed_target", 0.10), 0.001, (85, 86, 84, 85), 90.0 * 1.001, "TakeProfit"),
])
def test_gaps_and_limit_slippage(direction, stop, target, limit_slip, bar, price, reason):
    cfg = stop_target_config(stop, target, limit_slippage=limit_slip)
    o, h, l, c = bar
    res = run([100.0, c], [0], [], open_=[100.0, o], high=[100.0, h], low=[100.0, l],
              direction=direction, config=cfg)
    (t,) = res.trades()
    assert (t.exit_idx, t.exit_reason) == (1, reason)
    assert t.exit_price == pytest.approx(price, rel=1e-12)


@pytest.mark.parametrize("direction, ohlc, level", [
    # long from 100: bar 1 makes a high of 110 -> stop 0.95 * 110 = 104.5, only after bar 1's check
    # (its low 104 is below 104.5 but does not exit); bar 2 stays above; bar 3 trades through it
    (1, [(100, 100, 100, 100), (105, 110, 104, 108), (107, 109, 105, 106), (106, 107, 103, 104)], 104.5),
    # short from 100: low 90 -> stop 1.05 * 90 = 94.5
    (-1, [(100, 100, 100, 100), (95, 96, 90, 92), (93, 94, 91, 93), (94, 97, 93, 96)], 94.5),
])
def test_trailing_stop_ratchets_and_exits_as_stop_loss(direction, ohlc, level):
    o, h, l, c = (list(col) for col in zip(*ohlc))
    res = run(c, [0], [], open_=o, high=h, low=l, direction=direction,
              config=stop_target_config(("trailing_stop", 0.05)))
    (t,) = res.trades()
    assert (t.exit_idx, t.exit_reason) == (3, "StopLoss")
    assert t.exit_price == pytest.approx(level, rel=1e-12)


ATR_BARS = dict(  # period 2: every true range is 4 up to bar 2, so ATR[1] = ATR[2] = 4; ATR[0] is NaN
    close=[100.0, 100.0, 100.0, 99.0, 94.0, 94.0], open_=[100.0, 100.0, 100.0, 100.0, 99.0, 94.0],
    high=[102.0, 102.0, 102.0, 109.0, 99.0, 95.0], low=[98.0, 98.0, 98.0, 96.0, 93.0, 93.0])


@pytest.mark.parametrize("setup, entry_bar, expected", [
    (lambda c, i: c.set_atr_stop(1.5, 2), 2, (4, 94.0, "StopLoss")),          # 100 - 1.5 * 4
    (lambda c, i: c.set_atr_target(2.0, 2), 2, (3, 108.0, "TakeProfit")),     # 100 + 2 * 4
    (lambda c, i: (c.set_fixed_stop(0.5), i.set_atr_stop(1.5, 2)), 2, (4, 94.0, "StopLoss")),  # override
    (lambda c, i: c.set_atr_stop(1.5, 2), 0, (5, 94.0, "EndOfData")),         # NaN ATR: no stop at all
    (lambda c, i: (c.set_fixed_stop(0.05), c.set_risk_reward_target(1.5)), 2,  # 95 -> 100 + 1.5 * 5
     (3, 107.5, "TakeProfit")),
    (lambda c, i: c.set_risk_reward_target(2.0), 2, (5, 94.0, "EndOfData")),  # no stop, no target
])
def test_atr_and_risk_reward_levels(setup, entry_bar, expected):
    cfg, ic = BC(), IC()
    setup(cfg, ic)
    (t,) = run(ATR_BARS["close"], [entry_bar], [], open_=ATR_BARS["open_"], high=ATR_BARS["high"],
               low=ATR_BARS["low"], config=cfg, instrument_config=ic).trades()
    assert (t.exit_idx, t.exit_reason) == (expected[0], expected[2])
    assert t.exit_price == pytest.approx(expected[1], rel=1e-12)


@pytest.mark.parametrize("upon_close, entry_idx", [(True, 0), (False, 1)])
def test_stop_on_the_entry_bar_only_under_next_bar_open(upon_close, entry_idx):
    # stop 2 % below an entry at 100. Filled at bar 0's close, the entry comes after bar 0's checks, so
    # bar 0's low of 95 does not count; filled at bar 1's open, bar 1 itself (low 97) is checked.
    cfg = stop_target_config(("fixed_stop", 0.02), upon_bar_close=upon_close)
    res = run([100.0, 99.0, 97.0], [0], [], open_=[100.0, 100.0, 99.0], high=[100.0, 101.0, 99.0],
              low=[95.0, 97.0, 96.0], config=cfg)
    (t,) = res.trades()
    assert (t.entry_idx, t.exit_idx, t.exit_reason) == (entry_idx, 1, "StopLoss")
    assert t.exit_price == pytest.approx(98.0, rel=1e-12)


@pytest.mark.parametrize("config, instrument, period", [
    (None, None, None),
    (BC(), None, None),
    (stop_target_config(("fixed_stop", 0.02), ("atr_target", 2.0, 14)), None, 14),
    (stop_target_config(("fixed_stop", 0.02), ("atr_target", 2.0, 14)), "atr_stop10", 10),
    (stop_target_config(("atr_stop", 1.0, 20)), "fixed_stop", None),
    (stop_target_config(("atr_stop", 1.0, 7), ("atr_target", 2.0, 14)), None, 7),   # the stop's period wins
    (None, "atr_target5", 5),
    (stop_target_config(("trailing_stop", 0.05), ("risk_reward_target", 2.0)), None, None),
])
def test_resolve_atr_period(config, instrument, period):
    ic = None
    if instrument is not None:
        ic = IC()
        {"atr_stop10": lambda: ic.set_atr_stop(1.0, 10), "fixed_stop": lambda: ic.set_fixed_stop(0.02),
         "atr_target5": lambda: ic.set_atr_target(1.0, 5)}[instrument]()
    assert tm.resolve_atr_period(config, ic) == period


# --- costs -----------------------------------------------------------------------------------------

FEE_KEYS = {"brokerage", "stt", "exchange_txn", "sebi_fee", "stamp_duty", "gst", "total"}


def hundred_units(close, segment, **kwargs):
    # fees 0 makes the sizing allowance vanish: 0.5 * 200000 / 1000 = exactly 100 units
    cfg = BC(initial_capital=200000.0, fees=0.0, fee_segment=segment)
    return run(close, config=cfg, position_sizes=np.full(len(close), 0.5), **kwargs)


@pytest.mark.parametrize("segment", ["NSE", "nse", "BSE-MIS"])
def test_intraday_round_trip_of_100_units_at_1000(segment):
    res = hundred_units([1000.0, 1000.0, 1000.0], segment, entries=[0], exits=[2])
    (t,) = res.trades()
    assert t.size == 100.0
    # buy N = 100000: brokerage 20 (capped), exchange 3.07, sebi 0.1, stamp 3, gst 0.18 * 23.17 = 4.1706
    assert t.entry_fees == pytest.approx(30.3406, rel=1e-12)
    # sell: stt 25 instead of stamp duty -> 52.3406
    assert t.exit_fees == pytest.approx(52.3406, rel=1e-12)
    fb = t.fee_breakdown
    assert set(fb) == FEE_KEYS
    expected = {"brokerage": 40.0, "stt": 25.0, "exchange_txn": 6.14, "sebi_fee": 0.2, "stamp_duty": 3.0,
                "gst": 8.3412, "total": 82.6812}
    assert fb == pytest.approx(expected, rel=1e-12)
    assert fb["total"] == pytest.approx(t.fees, rel=1e-12) and t.fees == pytest.approx(82.6812, rel=1e-12)
    assert t.pnl == pytest.approx(-82.6812, rel=1e-12)
    assert res.equity_curve()[-1] == pytest.approx(200000.0 - 82.6812, rel=1e-12)


def test_delivery_charges_stt_on_both_sides():
    (t,) = hundred_units([1000.0, 1050.0, 1100.0], "NSE-DELIVERY", entries=[0], exits=[2]).trades()
    # buy 100000: no brokerage, stt 100, exch 3.07, sebi 0.1, stamp 15, gst 0.18 * 3.17 = 0.5706
    assert t.entry_fees == pytest.approx(118.7406, rel=1e-12)
    # sell 110000: stt 110, exch 3.377, sebi 0.11, gst 0.18 * 3.487 = 0.62766
    assert t.exit_fees == pytest.approx(114.11466, rel=1e-12)
    expected = {"brokerage": 0.0, "stt": 210.0, "exchange_txn": 6.447, "sebi_fee": 0.21, "stamp_duty": 15.0,
                "gst": 1.19826, "total": 232.85526}
    assert t.fee_breakdown == pytest.approx(expected, rel=1e-12)
    assert t.pnl == pytest.approx(100 * 100.0 - 232.85526, rel=1e-12)


def test_end_of_data_trade_keeps_the_entry_breakdown():
    (t,) = hundred_units([1000.0, 1000.0], "NSE", entries=[0]).trades()
    assert t.exit_reason == "EndOfData" and t.exit_fees == 0.0
    assert t.fee_breakdown["stamp_duty"] == pytest.approx(3.0) and t.fee_breakdown["stt"] == 0.0
    assert t.fee_breakdown["total"] == pytest.approx(t.fees) == pytest.approx(30.3406, rel=1e-12)


@pytest.mark.parametrize("segment", [None, "LSE", "NSEX", ""])
def test_flat_fee_trades_have_no_breakdown(segment):
    (t,) = run([100.0, 105.0, 110.0], [0], [2], config=BC(fee_segment=segment)).trades()
    q = full_size(100.0)
    assert t.fee_breakdown is None
    assert t.entry_fees == pytest.approx(0.001 * q * 100.0, rel=1e-12)
    assert t.exit_fees == pytest.approx(0.001 * q * 110.0, rel=1e-12)
    assert t.fees == pytest.approx(t.entry_fees + t.exit_fees, rel=1e-15)


@pytest.mark.parametrize("sizes", [None, np.full(3, 1.0)])
def test_cash_account_is_not_overdrawn_by_real_fees(sizes):
    # delivery costs ~0.118 % of a buy, more than the 0.001 sizing allowance
    res = run([100.0, 100.0, 100.0], [0], [], config=BC(fee_segment="NSE-DELIVERY"), position_sizes=sizes)
    (t,) = res.trades()
    spent = t.size * t.entry_price + t.entry_fees
    assert spent <= 100000.0 + 1e-9
    assert spent > 99000.0   # only trimmed, not collapsed
    eq = res.equity_curve()
    assert eq[0] - t.size * 100.0 >= -1e-9   # implied cash after the entry bar


@pytest.mark.parametrize("direction, apply, entry, exit_", [
    (1, True, 101.0, 108.9),     # 100 * 1.01 in, 110 * 0.99 out
    (-1, True, 99.0, 111.1),     # short: 100 * 0.99 in, 110 * 1.01 out
    (1, False, 100.0, 110.0),
    (-1, False, 100.0, 110.0),
])
def test_slippage_goes_against_the_trader(direction, apply, entry, exit_):
    res = run([100.0, 105.0, 110.0], [0], [2], direction=direction,
              config=BC(slippage=0.01, apply_slippage=apply))
    (t,) = res.trades()
    assert t.entry_price == pytest.approx(entry, rel=1e-12)
    assert t.exit_price == pytest.approx(exit_, rel=1e-12)
    assert t.size == pytest.approx(full_size(entry), rel=1e-12)


# --- accounting ------------------------------------------------------------------------------------

def test_short_is_marked_and_booked_at_its_profit():
    res = run([100.0, 95.0, 90.0], [0], [2], direction=-1)
    (t,) = res.trades()
    q = full_size(100.0)
    assert t.direction == -1 and t.size == pytest.approx(q, rel=1e-12)
    # pnl = q * (100 - 90) - 0.001 * q * (100 + 90)
    assert t.pnl == pytest.approx(q * 9.81, rel=1e-12)
    assert t.return_pct == pytest.approx(9.81, rel=1e-9)
    # open short marked at q * (2 * entry - close); the close leaves the whole capital plus pnl
    assert list(res.equity_curve()) == pytest.approx([q * 100.0, q * 105.0, 100000.0 + q * 9.81], rel=1e-12)


PATH_CLOSE = [100, 103, 107, 104, 98, 95, 97, 102, 108, 111, 106, 101, 99, 104, 110, 115, 112, 109, 113, 118]
PATH_OPEN = [100] + PATH_CLOSE[:-1]
PATH_HIGH = [max(o, c) + 2.5 for o, c in zip(PATH_OPEN, PATH_CLOSE)]
PATH_LOW = [min(o, c) - 2.5 for o, c in zip(PATH_OPEN, PATH_CLOSE)]


@pytest.mark.parametrize("direction", [1, -1])
@pytest.mark.parametrize("cfg", [
    lambda: BC(),
    lambda: BC(fee_segment="NSE"),
    lambda: BC(fee_segment="NSE-DELIVERY", slippage=0.002),
    lambda: stop_target_config(("fixed_stop", 0.03), ("fixed_target", 0.05)),
    lambda: stop_target_config(("trailing_stop", 0.04), fee_segment="NFO-FUT"),
    lambda: stop_target_config(("fixed_stop", 0.04), ("risk_reward_target", 1.5), upon_bar_close=False),
])
def test_final_equity_equals_capital_plus_trade_pnl(direction, cfg):
    res = run(PATH_CLOSE, [0, 6, 12, 17], [4, 10, 15], open_=PATH_OPEN, high=PATH_HIGH, low=PATH_LOW,
              direction=direction, config=cfg())
    trades = res.trades()
    assert trades and res.equity_curve()[-1] - 100000.0 == pytest.approx(sum(t.pnl for t in trades), rel=1e-9)
    assert all(math.isfinite(x) and x > 0 for x in res.equity_curve())
    for t in trades:
        assert t.fees == pytest.approx(t.entry_fees + t.exit_fees, rel=1e-12)
        assert t.pnl == pytest.approx(t.direction * t.size * (t.exit_price - t.entry_price) - t.fees, rel=1e-9)


@pytest.mark.parametrize("cfg, close, open_", [
    (BC(), [100.0, math.nan, 100.0, 100.0], None),                       # NaN close on the entry bar
    (BC(upon_bar_close=False), [100.0] * 4, [100.0, 100.0, math.nan, 100.0]),  # NaN open on the fill bar
])
def test_non_finite_fill_price_refuses_the_entry(cfg, close, open_):
    res = run(close, [1], [], open_=open_, config=cfg)
    assert res.trades() == []
    assert all(math.isfinite(x) for x in res.equity_curve())


def test_end_of_data_close():
    res = run([100.0, 104.0, 108.0], [0], [])
    (t,) = res.trades()
    q = full_size(100.0)
    assert (t.exit_reason, t.exit_idx, t.exit_price, t.exit_fees, t.exit_time) == ("EndOfData", 2, 108.0, 0.0, 2 * DAY)
    assert t.pnl == pytest.approx(q * 8.0 - 0.1 * q, rel=1e-12)
    m = res.metrics
    assert (m.total_trades, m.total_open_trades, m.total_closed_trades, m.winning_trades) == (1, 1, 0, 0)
    assert m.open_trade_pnl == pytest.approx(t.pnl, rel=1e-12)
    assert (m.win_rate_pct, m.expectancy, m.profit_factor, m.avg_win_pct) == (0.0, 0.0, 0.0, None)
    assert m.best_trade_pct == pytest.approx(7.9, rel=1e-9) and m.max_consecutive_wins == 1
    assert m.total_turnover == pytest.approx(q * 100.0, rel=1e-12)   # no exit side for EndOfData
    assert len(res.equity_curve()) == 3 and res.equity_curve()[-1] == pytest.approx(100000.0 + t.pnl, rel=1e-12)


def test_empty_run():
    empty_f, empty_b = np.empty(0), np.empty(0, dtype=bool)
    res = tm.run_single_backtest(np.empty(0, dtype=np.int64), empty_f, empty_f, empty_f, empty_f, empty_f,
                                 empty_b, empty_b, config=BC(initial_capital=5000.0))
    assert res.trades() == [] and len(res.equity_curve()) == len(res.drawdown_curve()) == len(res.returns()) == 0
    m = res.metrics
    assert (m.start_value, m.end_value, m.total_return_pct, m.total_trades) == (5000.0, 5000.0, 0.0, 0)
    assert (m.sharpe_ratio, m.sortino_ratio, m.omega_ratio, m.profit_factor) == (0.0, 0.0, 1.0, 0.0)
    assert (m.max_drawdown_duration_secs, m.avg_holding_period_secs) == (None, None)


@pytest.mark.parametrize("limit, trades", [(10.0, 1), (5.0, 1), (20.0, 2), (0.0, 2), (None, 2)])
def test_drawdown_halt_blocks_later_entries(limit, trades):
    # bar 1 equity q*95 (dd 5.09 %), bar 2 exit at 85 leaves q*85*0.999 (dd 15.17 %); re-entry asked on bar 4
    res = run([100.0, 95.0, 85.0, 100.0, 120.0, 130.0], [0, 4], [2], config=BC(max_drawdown_pct=limit))
    assert len(res.trades()) == trades
    assert res.trades()[0].exit_idx == 2   # an open position is not touched by the halt


# --- signal processing -----------------------------------------------------------------------------

@pytest.mark.parametrize("entries, exits, expected", [
    # second entry ignored while long, second exit ignored while flat
    ([0, 1, 4], [2, 3], [(0, 2, "Signal"), (4, 4, "EndOfData")]),
    # an exit before any entry is ignored
    ([2], [0, 1], [(2, 4, "EndOfData")]),
    # entry and exit on the same bar: open when flat, never close
    ([0, 1, 2, 3, 4], [0, 1, 2, 3, 4], [(0, 4, "EndOfData")]),
])
def test_signal_processing(entries, exits, expected):
    res = run([100.0, 101.0, 102.0, 103.0, 104.0], entries, exits)
    assert [(t.entry_idx, t.exit_idx, t.exit_reason) for t in res.trades()] == expected


def test_stop_out_does_not_reset_the_signal_state():
    # stopped out on bar 2; the raw entry on bar 3 is still "in position" and dropped; exit 4, entry 5 trades
    close = [100.0, 99.0, 96.0, 97.0, 98.0, 99.0, 100.0]
    low = [100.0, 98.0, 94.0, 96.0, 97.0, 98.0, 99.0]
    res = run(close, [0, 3, 5], [4], low=low, config=stop_target_config(("fixed_stop", 0.05)))
    assert [(t.entry_idx, t.exit_reason) for t in res.trades()] == [(0, "StopLoss"), (5, "EndOfData")]


# --- arguments ---------------------------------------------------------------------------------------

def test_direction_must_be_one_or_minus_one():
    for value in (0, 2):
        with pytest.raises(ValueError) as exc:
            run([100.0, 101.0], [0], [], direction=value)
        assert str(exc.value) == f"direction must be 1 (long) or -1 (short), got {value}"
    for value in (2**31, -(2**31) - 1, 2**70):
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            run([100.0, 101.0], [0], [], direction=value)
    # argument conversion comes first
    with pytest.raises(TypeError):
        tm.run_single_backtest(*bars([1.0])[:4], [1.0], np.ones(1), flags(1, []), flags(1, []), direction=0)


def test_weight_and_default_config_change_nothing():
    args = ([100.0, 103.0, 99.0, 105.0], [0], [2])
    base = run(*args)
    same_result(base, run(*args, weight=0.5))
    same_result(base, run(*args, config=BC()))
    same_result(base, run(*args, config=None, weight=1.0))


@pytest.mark.parametrize("position, value, message", [
    (4, np.array([1, 2]), "argument 'close': type mismatch:\n from=int64, to=float64"),
    (0, np.array([0.0, 1.0]), "argument 'timestamps': type mismatch:\n from=float64, to=int64"),
    (6, np.array([1, 0]), "argument 'entries': type mismatch:\n from=int64, to=bool"),
    (5, np.ones(2, dtype=np.float32), "argument 'volume': type mismatch:\n from=float32, to=float64"),
    (1, np.ones((2, 1)), "argument 'open': dimensionality mismatch:\n from=2, to=1"),
    (2, [1.0, 2.0], "argument 'high': 'list' object cannot be converted to 'PyArray<T, D>'"),
])
def test_array_argument_errors(position, value, message):
    args = list(bars([100.0, 101.0])) + [flags(2, [0]), flags(2, [])]
    args[position] = value
    with pytest.raises(TypeError) as exc:
        tm.run_single_backtest(*args)
    assert str(exc.value) == message


def test_strided_and_reversed_views_are_read_in_logical_order():
    close = np.array([100.0, 96.0, 103.0, 99.0, 108.0, 104.0])
    ts, o, h, l, c, v = bars(close, open_=[100.0, 99.0, 97.0, 101.0, 100.0, 107.0])
    ent, ex = flags(6, [0, 3]), flags(6, [2])
    expected = tm.run_single_backtest(ts, o, h, l, c, v, ent, ex, position_sizes=np.full(6, 0.7))

    def spread(a):    # every other element of a twice-as-long array
        out = np.zeros(2 * len(a), dtype=a.dtype)
        out[::2] = a
        return out[::2]

    def reverse(a):
        return np.ascontiguousarray(a[::-1])[::-1]

    for view in (spread, reverse):
        cols = [view(x) for x in (ts, o, h, l, c, v, ent, ex, np.full(6, 0.7))]
        assert not cols[4].flags.c_contiguous
        same_result(expected, tm.run_single_backtest(*cols[:8], position_sizes=cols[8]))


@pytest.mark.parametrize("cut, text", [
    ("exits", "Entry and exit arrays must have same length"),
    ("entries", "OHLCV and signals must have same length"),
    ("open", "index out of bounds"),
    ("position_sizes", "index out of bounds"),
])
def test_length_mismatches_are_internal_faults(cut, text):
    ts, o, h, l, c, v = bars([100.0, 101.0, 102.0])
    kw = dict(timestamps=ts, open=o, high=h, low=l, close=c, volume=v, entries=flags(3, [0]),
              exits=flags(3, [1]), position_sizes=np.ones(3))
    kw[cut] = kw[cut][:-1]
    if cut == "entries":
        kw["exits"] = kw["exits"][:-1]
    with internal_fault(text):
        tm.run_single_backtest(**kw)


def test_inputs_are_copied():
    cols = list(bars([100.0, 104.0, 108.0, 103.0]))
    ent, ex = flags(4, [0]), flags(4, [2])
    res = tm.run_single_backtest(*cols, ent, ex)
    before = (list(res.equity_curve()), [repr(t) for t in res.trades()])
    for a in cols[1:]:
        a[:] = 1.0
    ent[:] = False
    assert (list(res.equity_curve()), [repr(t) for t in res.trades()]) == before
    (t,) = res.trades()
    assert (t.entry_price, t.exit_price) == (100.0, 108.0)
