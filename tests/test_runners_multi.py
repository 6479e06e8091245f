"""run_multi_backtest: merged signal sets on one engine run, or independent runs on shares of the capital."""

import math

import numpy as np
import pytest

import _tidemark as tm
from runner_util import DAY, flags, same_result

BC = tm.BacktestConfig
N = 120


def bars(n=N, seed=5):
    rng = np.random.default_rng(seed)
    c = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, n)))
    o = c * rng.uniform(0.99, 1.01, n)
    return np.arange(n, dtype=np.int64) * DAY, o, np.maximum(o, c) * 1.01, np.minimum(o, c) * 0.99, c, np.ones(n)


def random_strategies(count, first=1):
    rng = np.random.default_rng(9)
    return [(rng.random(N) < 0.3, rng.random(N) < 0.15, 1 if k else first, 1000.0 * (k % 2), f"s{k}")
            for k in range(count)]


# the combined run takes the first strategy's name and direction; weighted votes ignore the weights
@pytest.mark.parametrize("mode, count, need", [
    ("any", 3, 1), ("ALL", 3, 1), ("Independent", 3, 1),          # other texts are any
    ("all", 3, 3), ("majority", 3, 2), ("majority", 2, 2), ("weighted", 3, 2), ("weighted", 4, 3),
])
def test_combined_modes_are_one_engine_run_on_the_merged_signals(mode, count, need):
    cfg, first = BC(upon_bar_close=False, fee_segment="NSE", slippage=0.001), -1
    strategies = random_strategies(count, first)
    votes = sum(s[0].astype(int) for s in strategies)
    exits = np.logical_or.reduce([s[1] for s in strategies])          # one exit is enough in every mode
    expected = tm.run_single_backtest(*bars(), votes >= need, exits, direction=first, symbol="s0", config=cfg)
    assert len(expected.trades()) >= 2
    same_result(tm.run_multi_backtest(*bars(), strategies, cfg, mode), expected)


@pytest.mark.parametrize("cfg", [BC(legacy_annualization=True, upon_bar_close=False),
                                 BC(initial_capital=30000.0, fee_segment="NFO-FUT", max_positions=1)])
def test_independent_runs_share_the_capital_and_add_up(cfg):
    strategies = random_strategies(3, -1)
    part = BC(initial_capital=cfg.initial_capital / 3, fee_segment=cfg.fee_segment,
              upon_bar_close=cfg.upon_bar_close, max_positions=cfg.max_positions)
    runs = [tm.run_single_backtest(*bars(), e, x, direction=d, symbol=name, config=part)
            for e, x, d, _, name in strategies]
    res = tm.run_multi_backtest(*bars(), strategies, cfg, "independent")
    equity = runs[0].equity_curve() + runs[1].equity_curve() + runs[2].equity_curve()
    peak, pnl, m = np.maximum.accumulate(equity), np.array([t.pnl for t in res.trades()]), res.metrics
    assert list(res.equity_curve()) == list(equity) and res.returns()[0] == 0.0
    assert res.drawdown_curve() == pytest.approx((peak - equity) / peak * 100, rel=1e-12, abs=1e-12)
    assert res.returns()[1:] == pytest.approx(np.diff(equity) / equity[:-1], rel=1e-12, abs=1e-15)
    expected = [(f"s{k}_{k}", t.id, t.entry_idx, t.exit_idx, t.pnl) for k, r in enumerate(runs) for t in r.trades()]
    assert [(t.symbol, t.id, t.entry_idx, t.exit_idx, t.pnl) for t in res.trades()] == expected
    assert (m.start_value, m.end_value, m.total_trades, m.winning_trades) == \
        (cfg.initial_capital, equity[-1], len(pnl), (pnl > 0).sum())
    if cfg.legacy_annualization:
        r = np.array([t.return_pct / 100 for t in res.trades()])
        assert m.sharpe_ratio == pytest.approx(r.mean() * 252 / (r.std(ddof=1) * math.sqrt(252)), rel=1e-9)
    else:   # daily bars annualise with 365 periods, from the combined returns
        r, k = np.asarray(res.returns()), math.sqrt(365)
        down = math.sqrt((r.clip(max=0) ** 2).mean())
        assert (m.sharpe_ratio, m.sortino_ratio) == \
            pytest.approx((k * r.mean() / r.std(ddof=1), k * r.mean() / down), rel=1e-9)
    # what the independent mode does not compute stays at zero or unset
    assert (m.omega_ratio, m.payoff_ratio, m.recovery_factor, m.expectancy, m.total_fees_paid) == (0, 0, 0, 0, 0)
    assert (m.total_closed_trades, m.max_consecutive_wins, m.avg_win_pct, m.avg_holding_period_secs) == \
        (0, 0, None, None)


def test_one_winning_legacy_trade():
    c, flat = np.array([10.0, 11.0, 12.0]), flags(3, [])
    m = tm.run_multi_backtest(np.arange(3, dtype=np.int64) * DAY, c, c, c, c, np.ones(3),
                              [(flags(3, [0]), flags(3, [2]), 1, 1.0, "a"), (flat, flat, 1, 1.0, "b")],
                              BC(legacy_annualization=True, fees=0.0), "independent").metrics
    assert (m.total_trades, m.sharpe_ratio, m.sortino_ratio) == (1, 0.0, None)     # unbounded before conversion
    assert (m.calmar_ratio, m.omega_ratio, m.profit_factor) == (None, 0.0, None)    # no drawdown, positive return
    assert m.end_value == pytest.approx(50000 + 5000 * 12.0, rel=1e-12)


E0 = np.zeros(0, bool)


@pytest.mark.parametrize("b, strategies", [
    (bars(0), []), (bars(0), [(E0, E0, 1, 1.0, "a"), (E0, E0, -1, 1.0, "b")]),
    ((np.zeros(0, np.int64), np.ones(3), np.ones(1), np.ones(0), np.ones(2), np.ones(0)), []),
])
@pytest.mark.parametrize("mode", ["any", "independent"])
def test_no_strategies_or_no_bars_is_an_empty_result(b, strategies, mode):
    res = tm.run_multi_backtest(*b, strategies, BC(initial_capital=7.0), mode)
    assert len(res.equity_curve()) == len(res.drawdown_curve()) == len(res.returns()) == 0 and res.trades() == []
    m = res.metrics
    assert (m.start_value, m.end_value, m.total_return_pct) == (7.0, 7.0, 0.0)
    if not strategies:
        assert (m.sortino_ratio, m.calmar_ratio, m.omega_ratio, m.profit_factor, m.payoff_ratio,
                m.recovery_factor) == (0.0,) * 6
        assert m.avg_win_pct is None and m.max_drawdown_duration_secs is None


OK = (np.zeros(N, bool), np.zeros(N, bool), 1, 1.0, "ok")


# the directions are checked in order, before any length and before the mode text
@pytest.mark.parametrize("strategies, mode, got", [
    ([(OK[0][:-1], *OK[1:]), (*OK[:2], 0, *OK[3:])], "any", 0), ([OK, (*OK[:2], -3, *OK[3:])], "x", -3),
])
def test_directions_are_checked(strategies, mode, got):
    with pytest.raises(ValueError, match=rf"^direction must be 1 \(long\) or -1 \(short\), got {got}$"):
        tm.run_multi_backtest(*bars(), strategies, combine_mode=mode)
