"""What the options, pairs and tick runners share: balanced books and argument types."""

import numpy as np
import pytest

import _tidemark as tm

BC = tm.BacktestConfig
N = 400


def walk(rng, start):
    return start * np.exp(np.cumsum(rng.normal(0, 0.02, N)))


def signals(rng):
    return rng.random(N) < 0.08, rng.random(N) < 0.08


def options(rng, cfg):
    p = walk(rng, 50.0)
    ts = np.arange(N, dtype=np.int64) * 60 * 10**9
    e, x = signals(rng)
    return tm.run_options_backtest(ts, p, p, p, p, p, p, e, x, config=cfg, lot_size=25,
                                   option_open_prices=p * rng.uniform(0.98, 1.02, N))


def pairs(rng, cfg):
    cols = []
    for start in (100.0, 40.0):
        c = walk(rng, start)
        cols += [np.arange(N, dtype=np.int64), c * rng.uniform(0.99, 1.01, N), c, c, c, c]
    return tm.run_pairs_backtest(*cols, *signals(rng), config=cfg, dynamic_hedge=True)


def tick(rng, cfg):
    ltp = walk(rng, 200.0)
    ts = np.cumsum(rng.integers(1, 5 * 10**9, N)).astype(np.int64)
    e, x = signals(rng)
    return tm.run_tick_backtest(ts, ltp, ltp - 0.05, ltp + 0.05, ltp, ltp, ltp, e, x, fees=cfg.fees,
                                fee_segment=cfg.fee_segment, stop_loss_pct=1.0, take_profit_pct=2.0,
                                max_hold_seconds=60, entry_cooldown_ticks=3, quantity=7)


@pytest.mark.parametrize("runner", [options, pairs, tick])
@pytest.mark.parametrize("cfg", [BC(), BC(fee_segment="NFO-OPT"), BC(upon_bar_close=False, fees=0.003)],
                         ids=["flat", "itemised", "next-bar"])
@pytest.mark.parametrize("seed", [1, 2])
def test_books_balance(runner, cfg, seed):
    res = runner(np.random.default_rng(seed), cfg)
    trades = res.trades()
    assert len(trades) >= 4
    m = res.metrics
    assert res.equity_curve()[-1] == m.end_value
    assert m.end_value - m.start_value == pytest.approx(sum(t.pnl for t in trades), abs=1e-6)
    assert all(t.fees == pytest.approx(t.entry_fees + t.exit_fees, abs=1e-9) for t in trades)


def _call(runner, **kw):
    def go():
        f = np.ones(3)
        b, ts = np.zeros(3, dtype=bool), np.zeros(3, dtype=np.int64)
        if runner == "options":
            return tm.run_options_backtest(ts, f, f, f, f, f, f, b, b, **kw)
        if runner == "pairs":
            return tm.run_pairs_backtest(ts, f, f, f, f, f, ts, f, f, f, f, f, b, b, **kw)
        return tm.run_tick_backtest(ts, f, f, f, f, f, f, b, b, **kw)
    return go


@pytest.mark.parametrize("call, exc, text", [
    (_call("options", option_open_prices=np.ones(3, dtype=np.float32)), TypeError, "argument 'option_open_prices'"),
    (_call("options", lot_size=-1), OverflowError, ""),
    (_call("options", config=BC), TypeError, "argument 'config'"),
    (_call("pairs", dynamic_hedge=1), TypeError, "argument 'dynamic_hedge'"),
    (_call("pairs", direction=2**31), OverflowError, "out of range integral type conversion attempted"),
    (_call("tick", lot_size=2**32), OverflowError, "out of range integral type conversion attempted"),
    (_call("tick", max_trades=2**64), OverflowError, ""),
    (_call("tick", fee_segment=1), TypeError, "argument 'fee_segment'"),
])
def test_argument_types(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value).startswith(text)
