"""What every strategy runner shares: balanced books and length faults."""

import numpy as np
import pytest

import _tidemark as tm
from runner_util import flags, instrument_row, internal_fault, random_row

BC = tm.BacktestConfig


def rows(rng, n=300):
    return [random_row(rng, n, d, s, w) for d, s, w in zip((1, -1, 1, -1), "ABCD", (1.0, 2.0, 3.0, 1.0))]


def options(rng, cfg):
    ts, o, h, lo, c, v, e, x = rows(rng)[0][:8]
    return tm.run_options_backtest(ts, o, h, lo, c, v, c / 2, e, x, config=cfg, lot_size=25, option_open_prices=o / 2)


def tick(rng, cfg):
    ltp, _, e, x = rows(rng)[0][4:8]
    ts = np.cumsum(rng.integers(1, 5 * 10**9, len(ltp))).astype(np.int64)
    return tm.run_tick_backtest(ts, ltp, ltp - 0.05, ltp + 0.05, ltp, ltp, ltp, e, x, fees=cfg.fees,
                                fee_segment=cfg.fee_segment, stop_loss_pct=1.0, take_profit_pct=2.0,
                                max_hold_seconds=60, entry_cooldown_ticks=3, quantity=7)


def multi(mode):
    return lambda rng, cfg: tm.run_multi_backtest(*(r := rows(rng))[0][:6], [x[6:] for x in r], cfg, mode)


RUNNERS = dict(options=options, tick=tick, multi_any=multi("any"), multi_independent=multi("independent"),
               pairs=lambda rng, cfg: tm.run_pairs_backtest(*(r := rows(rng))[0][:6], *r[1][:6], r[0][6], r[1][7],
                                                            config=cfg, dynamic_hedge=True),
               basket=lambda rng, cfg: tm.run_basket_backtest(rows(rng), cfg, "master"),
               portfolio=lambda rng, cfg: tm.run_portfolio_backtest(rows(rng), cfg),
               portfolio_full=lambda rng, cfg: tm.run_portfolio_backtest(rows(rng), cfg, "full"))


@pytest.mark.parametrize("runner", sorted(RUNNERS))
@pytest.mark.parametrize("cfg", [BC(max_positions=2), BC(fee_segment="NFO-OPT", fill_timing="same_bar_open_lookahead"),
                                 BC(upon_bar_close=False, fees=0.003, max_drawdown_pct=40.0)],
                         ids=["flat", "itemised", "next-bar"])
def test_books_balance(runner, cfg):
    out = RUNNERS[runner](np.random.default_rng(1), cfg)
    res = getattr(out, "result", out)
    trades = res.trades()
    assert len(trades) >= 4
    m = res.metrics
    assert res.equity_curve()[-1] == m.end_value
    assert m.end_value - m.start_value == pytest.approx(sum(t.pnl for t in trades), abs=1e-6)
    assert all(t.fees == pytest.approx(t.entry_fees + t.exit_fees, abs=1e-9) for t in trades)
    if runner == "basket":
        assert [t.id for t in trades] == list(range(len(trades)))
    if runner.startswith("portfolio"):        # per instrument, and trades listed in closing order
        assert [s.trades for s in out.per_instrument] == [sum(t.symbol == s for t in trades) for s in "ABCD"]
        assert sum(s.pnl for s in out.per_instrument) == pytest.approx(sum(t.pnl for t in trades), abs=1e-6)
        assert [t.exit_idx for t in trades] == sorted(t.exit_idx for t in trades)


def flat_args(runner):
    """Arguments of four bars, entry on bar 1 and exit on bar 3; rows and strategies are flattened."""
    ts, f, e, x = np.arange(4, dtype=np.int64), np.full(4, 10.0), flags(4, [1]), flags(4, [3])
    if runner in ("basket", "portfolio"):
        return [*(ts, f, f, f, f, f, e, x, 1, 1.0, "A"), *(ts, f, f, f, f, f, e, x, 1, 1.0, "B")]
    if runner == "pairs":
        return [ts, f, f, f, f, f, ts, f, f, f, f, f, e, x]
    tail = [f, e, x] if runner in ("options", "tick") else [e, x, 1, 1.0, "a", e, x, 1, 1.0, "b"]
    return [ts, f, f, f, f, f, *tail]


def call(runner, args, kw):
    if runner in ("basket", "portfolio"):
        return getattr(tm, f"run_{runner}_backtest")([tuple(args[:11]), tuple(args[11:])], **kw)
    if runner == "multi":
        return tm.run_multi_backtest(*args[:6], [tuple(args[6:11]), tuple(args[11:])], **kw)
    return getattr(tm, f"run_{runner}_backtest")(*args, **kw)


@pytest.mark.parametrize("runner, sizes, kw, text", [
    ("options", {4: 3}, {}, "option prices must match OHLCV length"),                   # close
    ("options", {7: 3}, {}, "signals must match option prices length"),
    ("options", {8: 5}, {}, "Entry and exit arrays must have same length"),
    # every bar column is held to option_prices before the run, those it never reads included
    ("options", {0: 3}, {}, "timestamps must match option prices length\n  left: 3\n right: 4"),
    ("options", {0: 6}, {}, "timestamps must match"),                           # too long: the run never noticed
    ("options", {1: 5}, {}, "open must match option prices length"),
    ("options", {5: 3, 4: 3}, {}, "option prices must match OHLCV length"),    # in signature order
    ("pairs", {4: 3}, {}, "both legs must have the same number of bars"),             # leg1_close
    ("pairs", {12: 3, 13: 3}, {}, "signals must match the legs' bar count"),
    ("pairs", {1: 2}, dict(config=BC(upon_bar_close=False)), "index out of bounds"),  # leg1_open, at the fill
    ("tick", {7: 3}, {}, "ticks and entries must have same length"),
    ("tick", {8: 3}, {}, "ticks and exits must have same length"),
    ("tick", {2: 2}, {}, "index out of bounds: the len is 2 but the index is 2"),     # bid
    ("basket", {15: 3}, {}, "All instruments must have same number of bars"),         # B's close
    ("basket", {17: 3}, {}, "Signals must match OHLCV length"),
    ("basket", {18: 3}, {}, "All signal arrays must have same length"),
    ("basket", {11: 3}, {}, "index out of bounds"),                                   # B's timestamps, at the exit
    # several faults: the first in the run's order of checks wins
    ("basket", {15: 3, 7: 3}, {}, "All instruments must have same number of bars"),   # before A's exits
    ("basket", {5: 3, 18: 3}, {}, "All signal arrays must have same length"),         # before A's volume
    ("portfolio", {17: 3}, {}, "signals must match OHLCV length"),
    ("portfolio", {11: 1}, {}, "index out of bounds"),                                # B's bar 1, read at the fill
    ("portfolio", {5: 3, 18: 3}, {}, "Entry and exit arrays must have same length"),  # before A's volume
    ("portfolio", {7: 3, 17: 3}, {}, "Entry and exit arrays must have same length"),  # A's exits, then B's entries
    ("multi", {11: 5}, {}, "All strategies must have same length as OHLCV\n  left: 5\n right: 4"),  # before any mode
    ("multi", {12: 3}, {}, "index out of bounds"),                                   # merging past a short exit
    ("multi", {12: 3}, dict(combine_mode="independent"), "Entry and exit arrays must have same length"),
])
def test_length_mismatches_are_internal_faults(runner, sizes, kw, text):
    args = flat_args(runner)
    for pos, size in sizes.items():
        args[pos] = np.resize(args[pos], size)
    with internal_fault(text):
        call(runner, args, kw)


@pytest.mark.parametrize("runner", ["basket", "portfolio"])
@pytest.mark.parametrize("column", [0, 1, 2, 3, 5], ids=["timestamps", "open", "high", "low", "volume"])
@pytest.mark.parametrize("size", [0, 6])
def test_short_columns_fail_before_the_run_as_in_a_single_run(runner, column, size):
    """A column of the second instrument shorter than its close fails as `run_single_backtest` fails on it, also
    where the run would never read the missing bars (the only trade is closed on bar 3 of 8)."""
    rows = [instrument_row(np.linspace(100.0, 107.0, 8), [1], [3], symbol=s) for s in "AB"]
    rows[1] = rows[1][:column] + (rows[1][column][:size],) + rows[1][column + 1:]
    with pytest.raises(BaseException) as single:
        tm.run_single_backtest(*rows[1][:8])
    with internal_fault(f"index out of bounds: the len is {size} but the index is {size}"):
        getattr(tm, f"run_{runner}_backtest")(rows)
    assert str(single.value) == f"index out of bounds: the len is {size} but the index is {size}"
