"""run_spread_backtest and its batch. A leg's P&L is (premium - entry premium) x quantity x lot size;
cash moves by fees, settlements and closes only. By default: capital 100000, a fee of 0.001 of
|premium| x |quantity| x lot size per leg and side, bars one day apart."""

import math
import os
import threading
import time

import numpy as np
import pytest

import _tidemark as tm
from runner_util import DAY, add_fees, flags, indian_fees, same_result

BC = tm.BacktestConfig
CALL, PUT = ("CE", 100.0, 1, 10), ("PE", 100.0, -1, 10)  # a bought call, a written put
NO_FEES = BC(fees=0.0)


def days(n):
    return np.arange(n, dtype=np.int64) * DAY


def series(*values):
    return [np.asarray(v, dtype=np.float64) for v in values]


def run(premiums, legs, entries=(), exits=(), ts=None, **kw):
    n = len(premiums[0])
    ts = days(n) if ts is None else ts
    return tm.run_spread_backtest(ts, np.zeros(n), series(*premiums), legs, flags(n, entries), flags(n, exits), **kw)


def trade_rows(res):
    return [(t.id, t.entry_idx, t.exit_idx, t.exit_reason) for t in res.trades()]


def test_round_trip_marks_fees_and_trade_by_hand():
    # call 11 -> 12 -> 13 -> 14 and put 5 -> 6 -> 6 -> 7 from the entry on bar 1 to the exit on bar 4
    res = run([[10, 11, 12, 13, 14, 15], [5, 5, 6, 6, 7, 7]], [CALL, PUT], [1], [4])
    entry_fee, exit_fee = 0.001 * (11 * 10 + 5 * 10), 0.001 * (14 * 10 + 7 * 10)
    closed = (14 - 11) * 10 - (7 - 5) * 10
    marks = [0, (12 - 11) * 10 - (6 - 5) * 10, (13 - 11) * 10 - (6 - 5) * 10]
    want = [100000] + [100000 - entry_fee + m for m in marks] + [100000 - entry_fee + closed - exit_fee] * 2
    np.testing.assert_allclose(res.equity_curve(), want, rtol=0, atol=1e-9)
    (t,) = res.trades()
    assert (t.id, t.symbol, t.size, t.direction, t.exit_reason, t.fee_breakdown) == (
        1, "SPREAD", 1.0, 1, "Signal", None)
    assert (t.entry_idx, t.exit_idx, t.entry_time, t.exit_time) == (1, 4, DAY, 4 * DAY)
    assert (t.entry_price, t.exit_price) == (110 - 50, 140 - 70)
    assert (t.entry_fees, t.exit_fees) == (pytest.approx(entry_fee), pytest.approx(exit_fee))
    assert t.pnl == pytest.approx(closed - entry_fee - exit_fee) and t.return_pct == pytest.approx(t.pnl / 60 * 100)
    assert res.metrics.end_value == pytest.approx(100000 + t.pnl)


PUT_PREMIUMS = [5, 5, 4, 3, 2, 2]


@pytest.mark.parametrize("exits, exit_idx, reason, exit_parts", [
    ([], 4, "Settlement", None),                            # the last settlement closes; no exit fee
    ([3], 3, "Signal", indian_fees("NFO-OPT", True, 30)),   # only the unsettled put is bought back
])
def test_itemised_fees_per_side_and_settlement(exits, exit_idx, reason, exit_parts):
    # the call expires on bar 2, the put on bar 4; each settles at its premium there
    res = run([[10, 12, 14, 14, 14, 14], PUT_PREMIUMS], [CALL, PUT], [0], exits, config=BC(fee_segment="NFO-OPT"),
              leg_expiry_timestamps=[2 * DAY, 4 * DAY])
    entry = add_fees(indian_fees("NFO-OPT", True, 100), indian_fees("NFO-OPT", False, 50))
    (t,) = res.trades()
    assert (t.exit_idx, t.exit_reason) == (exit_idx, reason)
    assert t.fee_breakdown.keys() == set(entry) | {"total"}
    for k, v in (add_fees(entry, exit_parts) if exit_parts else entry).items():
        assert t.fee_breakdown[k] == pytest.approx(v, rel=1e-12)
    assert t.entry_fees == pytest.approx(sum(entry.values()))
    assert t.exit_fees == pytest.approx(sum(exit_parts.values()) if exit_parts else 0.0)
    assert t.pnl == pytest.approx(40 + (5 - PUT_PREMIUMS[exit_idx]) * 10 - t.fees)  # the call settled +40
    assert t.exit_price == 14 * 10 - PUT_PREMIUMS[exit_idx] * 10
    cash = 100000 - t.entry_fees
    np.testing.assert_allclose(res.equity_curve()[:4], [cash, cash + 20, cash + 40 + 10, cash + 60 - t.exit_fees])


@pytest.mark.parametrize("entry_bar, trades", [(1, 1), (2, 0)])
def test_no_entry_at_or_after_any_expiry(entry_bar, trades):
    res = run([[10] * 5, [5] * 5], [CALL, PUT], [entry_bar], leg_expiry_timestamps=[4 * DAY, 2 * DAY])
    assert len(res.trades()) == trades


@pytest.mark.parametrize("premium, limits, exit_idx, reason", [
    ([10, 10, 9, 8, 7, 10], {"max_loss": 20.0}, 4, "StopLoss"),      # -20 at bar 3 is not below -20
    ([10, 10, 9, 8, 7, 10], {"max_loss": 19.99}, 3, "StopLoss"),
    ([10, 10, 11, 12, 13, 10], {"target_profit": 20.0}, 4, "TakeProfit"),
    ([10, 10, 11, 12, 13, 10], {"target_profit": 19.99}, 3, "TakeProfit"),
    ([10, 10, 11, 12, 13, 10], {"max_loss": 0.0, "target_profit": 5.0}, 2, "TakeProfit"),
])
def test_loss_and_profit_limits_fire_strictly_beyond_their_threshold(premium, limits, exit_idx, reason):
    (t,) = run([premium], [("C", 100.0, 1, 10)], [0], config=NO_FEES, **limits).trades()
    assert (t.exit_idx, t.exit_reason, t.pnl) == (exit_idx, reason, pytest.approx((premium[exit_idx] - 10) * 10))


def test_limits_ignore_settled_legs_and_fees():
    # the call settles on bar 1 with a loss of 50; the open put alone never loses 30
    res = run([[10, 5, 5, 5], [5, 5, 6, 7]], [CALL, PUT], [0], max_loss=30.0, leg_expiry_timestamps=[DAY, 3 * DAY + 1])
    (t,) = res.trades()
    assert t.exit_reason == "EndOfData" and t.pnl == pytest.approx(-50 - 20 - t.fees)


def test_exit_and_entry_on_one_bar_close_then_reopen_at_that_bars_premiums():
    res = run([[10, 11, 12, 13]], [CALL], [0, 2], [2], config=NO_FEES)
    assert trade_rows(res) == [(1, 0, 2, "Signal"), (2, 2, 3, "EndOfData")]
    assert res.trades()[0].exit_price == res.trades()[1].entry_price == 120


IST = 19_800 * 10**9


def local(day, hh, mm):
    return day * DAY + (hh * 60 + mm) * 60 * 10**9 - IST


SQUARE_TS = [local(0, 15, 10), local(0, 15, 15), local(0, 15, 20), local(0, 15, 25), local(1, 9, 15), local(1, 15, 30),
             local(1, 15, 35)]


@pytest.mark.parametrize("ts, entries, offset, rows", [
    # 15:20 India time: the first bar at or after it each day closes and refuses entries
    (SQUARE_TS, [0, 2, 3, 6], IST, [(1, 0, 2, "Squareoff"), (2, 3, 5, "Squareoff"), (3, 6, 6, "EndOfData")]),
    (SQUARE_TS, [0, 2, 3, 6], 0, [(1, 0, 6, "EndOfData")]),  # read in UTC, no bar reaches 15:20
    # bars 0 and 1 are their days' squareoff bars; bar 2 returns to a day already squared off
    ([local(0, 15, 30), local(1, 15, 30), local(0, 15, 40)], [0, 1, 2], IST, [(1, 2, 2, "EndOfData")]),
])
def test_squareoff_closes_once_per_local_day(ts, entries, offset, rows):
    cfg = BC(squareoff_time="15:20", session_tz_offset_ns=offset)
    res = run([[10.0] * len(ts)], [CALL], entries, ts=np.array(ts, dtype=np.int64), config=cfg)
    assert trade_rows(res) == rows


CLOSES, OPENS = [10, 11, 12, 13, 14, 15], [9.5, 10.5, 11.5, 12.5, 13.5, 14.5]


@pytest.mark.parametrize("cfg, opens, want", [
    # (entry bar, exit bar, entry premium, exit premium)
    (BC(upon_bar_close=False), True, (2, 4, 11.5, 13.5)),       # next bar, at its opening premiums
    (BC(upon_bar_close=False), False, (2, 4, 12, 14)),          # next bar, at its closing premiums
    (BC(), True, (1, 3, 11, 13)),                               # opening premiums unused on the signal bar
])
def test_fill_timing_and_opening_premiums(cfg, opens, want):
    res = run([CLOSES], [CALL], [1], [3], config=cfg, legs_open_premiums=series(OPENS) if opens else None)
    (t,) = res.trades()
    entry_idx, exit_idx, p_in, p_out = want
    assert (t.entry_idx, t.exit_idx, t.entry_price, t.exit_price) == (entry_idx, exit_idx, p_in * 10, p_out * 10)
    fee_in, fee_out = 0.001 * p_in * 10, 0.001 * p_out * 10
    assert t.pnl == pytest.approx((p_out - p_in) * 10 - fee_in - fee_out)
    eq = res.equity_curve()
    # the entry bar moves by the entry fee only; the next bar is marked at its close
    assert eq[entry_idx] == pytest.approx(eq[entry_idx - 1] - fee_in)
    assert eq[entry_idx + 1] == pytest.approx(100000 - fee_in + (CLOSES[entry_idx + 1] - p_in) * 10)


def test_next_bar_mode_drops_last_bar_signals_and_stops_at_closing_premiums():
    cfg = BC(upon_bar_close=False, fees=0.0)
    assert run([CLOSES], [CALL], [5], config=cfg).trades() == []
    (t,) = run([[10, 10, 10, 5, 5]], [CALL], [0], config=cfg, max_loss=40.0,
               legs_open_premiums=series([10, 10, 10, 9, 9])).trades()
    assert (t.entry_idx, t.exit_idx, t.exit_reason, t.exit_price) == (1, 3, "StopLoss", 50)


def test_credit_spread_return_keeps_the_sign_of_pnl():
    (t,) = run([[10, 12]], [("call", 100.0, -1, 10)], [0], [1], config=NO_FEES).trades()
    assert (t.entry_price, t.pnl, t.return_pct) == (-100, -20.0, pytest.approx(-20.0))


def test_zero_quantity_legs_trade_but_count_nowhere():
    res = run([[10, 12, 14]], [("P", 90.0, 0, 50)], [0], [1])
    (t,) = res.trades()
    assert (t.entry_price, t.pnl, t.fees, t.return_pct) == (0.0, 0.0, 0.0, 0.0)
    assert (res.metrics.total_trades, res.metrics.total_fees_paid, res.metrics.win_rate_pct) == (0, 0.0, 0.0)


NFO = BC(fee_segment="NFO-OPT")


@pytest.mark.parametrize("legs, exits, expiries", [
    ([("CE", 100.0, 1, 0), PUT], [3], None),
    ([("CE", 100.0, 2, 0), ("PE", 100.0, -1, 0)], [3], None),      # no units at all: a trade that counts nowhere
    ([PUT, ("CE", 100.0, -1, 0)], [], [2 * DAY, 4 * DAY]),          # the put settles, the empty call closes after
])
def test_a_leg_of_lot_size_zero_is_charged_as_a_leg_of_quantity_zero(legs, exits, expiries):
    as_quantity_zero = [(t, k, q if lot else 0, lot or 50) for t, k, q, lot in legs]
    premiums = [[10, 11, 12, 13, 14, 15]] * len(legs)
    kw = dict(config=NFO, leg_expiry_timestamps=expiries)
    same_result(run(premiums, legs, [0], exits, **kw), run(premiums, as_quantity_zero, [0], exits, **kw))


def test_statistics_by_hand():
    # three trades on one long leg of size 1 without fees: +2 (20 %), -3 (-25 %), +2 (22.2 %)
    res = run([[10, 12, 12, 9, 9, 11, 11]], [("c", 1.0, 1, 1)], [0, 2, 4], [1, 3, 5],
              config=BC(initial_capital=1000.0, fees=0.0))
    m, r = res.metrics, res.returns()
    np.testing.assert_allclose(res.equity_curve(), [1000, 1002, 1002, 999, 999, 1001, 1001])
    pct, dd = np.array([20.0, -25.0, 200 / 9]), 300 / 1002
    assert (m.total_trades, m.total_closed_trades, m.winning_trades, m.losing_trades) == (3, 3, 2, 1)
    assert (m.avg_winning_duration, m.avg_losing_duration, m.avg_holding_period) == (1.0, 1.0, 1.0)
    assert (m.max_consecutive_wins, m.max_consecutive_losses, m.worst_trade_pct, m.start_value, m.end_value) == (
        1, 1, -25.0, 1000, 1001)
    assert m.max_drawdown_duration == 5  # bars 2..6: a bar level with the peak counts
    approx = dict(win_rate_pct=200 / 3, profit_factor=4 / 3, expectancy=1 / 3, payoff_ratio=2 / 3,
                  avg_win_pct=0.2, avg_loss_pct=-0.3,  # % of capital
                  best_trade_pct=200 / 9, avg_trade_return_pct=pct.mean(), total_return_pct=0.1,
                  sqn=math.sqrt(3) * pct.mean() / pct.std(),  # population deviation
                  max_drawdown_pct=dd, calmar_ratio=0.1 / dd, recovery_factor=1 / (1000 * dd / 100))
    assert {k: getattr(m, k) for k in approx} == pytest.approx(approx)
    np.testing.assert_allclose(r, [0, 0.002, 0, -3 / 1002, 0, 2 / 999, 0], atol=1e-15)
    assert m.sharpe_ratio == pytest.approx(r.mean() / r.std(ddof=1) * math.sqrt(252))
    down = math.sqrt((r[r < 0] ** 2).sum() / (len(r) - 1))
    assert m.sortino_ratio == pytest.approx(r.mean() * 252 / (down * math.sqrt(252)))
    assert m.omega_ratio == pytest.approx(r[r > 0].sum() / -r[r < 0].sum())
    assert (m.total_fees_paid, m.exposure_pct, m.total_turnover) == (0.0, 0.0, 0.0)
    assert m.max_drawdown_duration_secs is None and m.avg_holding_period_secs is None


@pytest.mark.parametrize("n", [0, 5])
def test_a_run_without_trades_is_flat(n):
    res = run([[10.0] * n, [5.0] * n], [CALL, PUT], ts=days(n))
    assert list(res.equity_curve()) == [100000.0] * n and list(res.returns()) == [0.0] * n
    m = res.metrics
    assert (m.end_value, m.total_return_pct, m.max_drawdown_pct, m.max_drawdown_duration) == (100000.0, 0.0, 0.0, n)
    assert (m.sortino_ratio, m.calmar_ratio, m.omega_ratio, m.profit_factor) == (0.0, 0.0, 0.0, 0.0)
    assert m.avg_win_pct is None and m.avg_loss_pct is None


@pytest.mark.parametrize("option_type, strike, shown", [
    ("CALLS", 100.0, "100"), (" CE", 102.5, "102.5"), ("", 1e20, "100000000000000000000")])
def test_unknown_option_types_are_refused_and_carried_back_from_the_batch(option_type, strike, shown):
    legs = [CALL, (option_type, strike, 1, 1), ("Q", 1.0, 1, 1)]  # only the first bad leg is reported
    head = f"unknown option type {option_type} for the leg at strike {shown}; expected "
    with pytest.raises(ValueError) as e:
        run([[1.0]] * 3, legs)
    assert str(e.value) == head + ("one of CE/CALL/C or PE/PUT/P (case-insensitive). "
                                   "Defaulting would price a put as a call.")
    # in a batch, the first item refused is named, whatever is wrong with the items after it
    item = tm.BatchSpreadItem("x", series([1.0], [1.0], [1.0]), legs, flags(1, []), flags(1, []))
    short = tm.BatchSpreadItem("short", series([1.0]), [CALL], flags(0, []), flags(1, []))
    with pytest.raises(ValueError) as e:
        tm.batch_spread_backtest(days(1), np.zeros(1), [good_item(1), item, short])
    assert str(e.value) == "item 'x': " + head + "CE/CALL/C or PE/PUT/P (case-insensitive)."
    with pytest.raises(ValueError) as e:
        tm.batch_spread_backtest(days(1), np.zeros(1), [short, item])
    assert str(e.value) == "item 'short': entries has 0 bars but timestamps has 1"


LEN_TS = " bars but timestamps has 3"


@pytest.mark.parametrize("change, error, message", [
    ({"legs_open_premiums": series([1, 1])}, ValueError,
     "legs_open_premiums must mirror legs_premiums exactly -- same number of legs, same number of bars per leg"),
    ({"leg_expiry_timestamps": [1, 2]}, ValueError, "leg_expiry_timestamps has 2 entries but there are 1 legs; "
     "each leg needs its own expiry, matched by position. Guessing would settle the wrong leg."),
    # lengths and counts that do not fit are refused before any work instead of reporting a flat run
    ({"leg_configs": [CALL, PUT]}, ValueError,
     "legs_premiums has 1 series but there are 2 legs; each leg needs its own premium series, matched by position."),
    ({"legs_premiums": series([1, 1]), "legs_open_premiums": series([1, 1])}, ValueError,
     "legs_premiums[0] has 2" + LEN_TS),
    ({"entries": flags(2, [])}, ValueError, "entries has 2" + LEN_TS),
    ({"exits": flags(4, [])}, ValueError, "exits has 4" + LEN_TS),
])
def test_argument_errors(change, error, message):
    kw = dict(timestamps=days(3), underlying_close=np.zeros(3), legs_premiums=series([1, 2, 3]),
              leg_configs=[CALL], entries=flags(3, [0]), exits=flags(3, []))
    with pytest.raises(error) as e:
        tm.run_spread_backtest(**{**kw, **change})
    assert message in str(e.value)


def good_item(n, sid="ok", **kw):
    return tm.BatchSpreadItem(sid, series([10.0 + i for i in range(n)]), [CALL], flags(n, [0]), flags(n, []), **kw)


def random_case(rng, n):
    prem = [np.abs(50 + np.cumsum(rng.normal(0, 1, n))) for _ in range(int(rng.integers(1, 5)))]
    legs = [(str(rng.choice(["ce", "PE", "Call", "p", "C", "pUt"])), float(rng.integers(90, 110)),
             int(rng.choice([-2, -1, 0, 1, 3])), int(rng.choice([1, 25, 50]))) for _ in prem]
    maybe = lambda p, v: None if rng.random() < p else v  # noqa: E731
    kw = dict(spread_type="iron_condor", max_loss=maybe(0.3, float(rng.uniform(10, 200))),
              target_profit=maybe(0.3, float(rng.uniform(10, 200))),
              legs_open_premiums=maybe(0.5, [p * 0.99 for p in prem]))
    return prem, legs, rng.random(n) < 0.05, rng.random(n) < 0.05, kw


def test_batch_equals_serial_runs_in_item_order():
    cfg = BC(upon_bar_close=False, fee_segment="NFO-OPT", initial_capital=5e4)
    rng, n = np.random.default_rng(7), 400
    ts, under = days(n), np.zeros(n)
    cases = [random_case(rng, n) for _ in range(3 * (os.cpu_count() or 2) + 5)]  # more items than threads
    ids = [f"s{i % 4}" for i in range(len(cases))]  # duplicate ids stay, in order
    items = [tm.BatchSpreadItem(sid, prem, legs, en, ex, **kw) for sid, (prem, legs, en, ex, kw) in zip(ids, cases)]
    out = tm.batch_spread_backtest(ts, under, items, config=cfg)
    assert [sid for sid, _ in out] == ids
    for (sid, res), (prem, legs, en, ex, kw) in zip(out, cases):
        same_result(res, tm.run_spread_backtest(ts, under, prem, legs, en, ex, config=cfg, **kw))
    assert sum(len(res.trades()) > 0 for _, res in out) > len(cases) // 2


@pytest.mark.parametrize("change", [
    dict(legs_premiums=series([1, 2, 3])),                                        # one bar short of timestamps
    dict(leg_configs=[CALL, PUT]),                                                # two legs, one premium series
    dict(legs_open_premiums=series([1, 2, 3, 4], [1, 2, 3, 4])),                  # two opening series for one leg
    dict(legs_open_premiums=series([1, 2, 3])),                                   # an opening series a bar short
    dict(legs_premiums=series([1, 2, 3]), legs_open_premiums=series([1, 2, 3])),  # mirrored, both a bar short
    dict(entries=flags(3, [0])), dict(exits=flags(5, [])),
    dict(legs_open_premiums=series([1, 2, 3]), leg_configs=[("CX", 100.0, 1, 10)]),  # the opening premiums first
])
def test_an_item_that_does_not_fit_fails_the_whole_batch_as_its_single_run_fails(change):
    n = 4
    kw = dict(legs_premiums=series([10, 11, 12, 13]), leg_configs=[CALL], entries=flags(n, [0]),
              exits=flags(n, [])) | change
    with pytest.raises(ValueError) as single:
        tm.run_spread_backtest(days(n), np.zeros(n), **kw)
    items = [good_item(n), tm.BatchSpreadItem("bad", **kw), tm.BatchSpreadItem("worse", series([1.0]), [CALL],
                                                                               flags(1, []), flags(1, []))]
    with pytest.raises(ValueError) as batch:
        tm.batch_spread_backtest(days(n), np.zeros(n), items)
    assert str(batch.value) == f"item 'bad': {single.value}"                     # the first that does not fit


def test_batch_edge_cases():
    assert tm.batch_spread_backtest(days(3), np.zeros(3), []) == []
    n = 4
    with pytest.raises(TypeError, match="argument 'items'"):
        tm.batch_spread_backtest(days(n), np.zeros(n), [good_item(n), 3])
    with pytest.raises(TypeError, match="argument 'items': Can't extract `str` to `Vec`"):
        tm.batch_spread_backtest(days(n), np.zeros(n), "items")


def test_items_own_their_data_and_their_setters_reach_the_next_batch():
    prem, entries = series([10, 9, 8, 7]), flags(4, [0])
    item = tm.BatchSpreadItem("a", prem, [CALL], entries, flags(4, []), spread_type="bull_call", target_profit=50)
    prem[0][:] = 100.0   # the item copied its arrays
    entries[:] = False
    names = ("strategy_id", "spread_type", "max_loss", "target_profit")
    assert tuple(getattr(item, k) for k in names) == ("a", "bull_call", None, 50.0)
    (_, before), = tm.batch_spread_backtest(days(4), np.zeros(4), [item])
    assert (before.trades()[0].exit_reason, before.trades()[0].entry_price) == ("EndOfData", 100)
    item.strategy_id, item.max_loss, item.target_profit = "b", 15.0, None
    (sid, after), = tm.batch_spread_backtest(days(4), np.zeros(4), [item])
    assert (sid, after.trades()[0].exit_idx, after.trades()[0].exit_reason) == ("b", 2, "StopLoss")
    # nothing but the argument types is checked when an item is made
    tm.BatchSpreadItem("z", series([1.0]), [("PUTS", 1.0, 1, 1)], flags(3, []), flags(1, []))


def test_batch_releases_the_interpreter_lock_while_it_runs():
    n, rng = 20_000, np.random.default_rng(1)
    items = [tm.BatchSpreadItem(str(i), [50 + np.cumsum(rng.normal(0, 1, n)) for _ in range(4)], [CALL, PUT] * 2,
                                rng.random(n) < 0.01, rng.random(n) < 0.01) for i in range(40)]
    ticks, windows, stop = [], [], threading.Event()
    worker = threading.Thread(target=lambda: [ticks.append(time.perf_counter()) or time.sleep(0.001)
                                              for _ in iter(stop.is_set, True)])
    worker.start()
    try:
        time.sleep(0.01)
        for _ in range(5):
            t0 = time.perf_counter()
            tm.batch_spread_backtest(days(n), np.zeros(n), items)
            t1 = time.perf_counter()
            windows.append((t0 + (t1 - t0) / 4, t1 - (t1 - t0) / 4))
    finally:
        stop.set()
        worker.join()
    # the other thread kept running in the middle of a batch call
    assert any(lo < t < hi for t in ticks for lo, hi in windows)
