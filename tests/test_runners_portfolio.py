"""run_portfolio_backtest: one kernel per instrument on one cash pool, its gates, budgets and curves."""

import numpy as np
import pytest

import _tidemark as tm
from runner_util import instrument_row as inst, random_row, same_result

BC, IC = tm.BacktestConfig, tm.InstrumentConfig
P = 100000.0


def stop(cfg, kind, *args):
    getattr(cfg, "set_" + kind)(*args)
    return cfg


# One instrument with no limits is one kernel holding the whole pool: the single-instrument run, trade
# for trade. Next-bar fills are shifted by the portfolio itself, unchecked against their bar's stop: no stop.
@pytest.mark.parametrize("cfg, ic", [
    (BC(fee_segment="NSE-DELIVERY", slippage=0.001), None),
    (BC(fill_timing="next_bar_open", fee_segment="NFO-FUT"), None),
    (stop(BC(), "fixed_stop", 0.03), None),
    (stop(BC(fill_timing="same_bar_open_lookahead"), "trailing_stop", 0.04), None),
    (stop(BC(), "fixed_target", 0.05), IC(lot_size=7.0)),
    (BC(), stop(IC(), "atr_stop", 1.5, 5)),
    (BC(), stop(IC(), "atr_stop", 1.5, 0)),                 # an ATR that cannot be computed leaves no level
])
@pytest.mark.parametrize("direction", [1, -1])
@pytest.mark.parametrize("allocation", ["equal_weight", "full"])
def test_one_instrument_is_the_single_instrument_run(cfg, ic, direction, allocation):
    r = random_row(np.random.default_rng(3), 300, direction, "X")
    single = tm.run_single_backtest(*r[:8], direction=direction, symbol="X", config=cfg, instrument_config=ic)
    port = tm.run_portfolio_backtest([r], cfg, allocation, None if ic is None else {"X": ic})
    res, st = port.result, single.trades()
    assert len(st) >= 5
    key = lambda t: (t.entry_idx, t.exit_idx, t.exit_reason, t.id, t.symbol)  # noqa: E731
    assert [key(t) for t in res.trades()] == [key(t) for t in st]
    for a, b in zip(res.trades(), st):
        assert (a.entry_price, a.exit_price, a.size, a.pnl, a.fees) == \
            pytest.approx((b.entry_price, b.exit_price, b.size, b.pnl, b.fees), rel=1e-9)
    assert res.equity_curve() == pytest.approx(single.equity_curve(), rel=1e-9)
    assert res.drawdown_curve() == pytest.approx(single.drawdown_curve(), rel=1e-6, abs=1e-9)
    assert res.metrics.end_value == pytest.approx(single.metrics.end_value, rel=1e-9)
    assert res.metrics.sharpe_ratio == pytest.approx(single.metrics.sharpe_ratio, rel=1e-6)


@pytest.mark.parametrize("allocation, max_positions, budgets, refused", [
    ("equal_weight", None, [P / 3, P / 3, P / 3], [0, 0, 0]),          # pool/3, then what is left /2, /1
    ("equal_weight", 0, [P / 3, P / 3, P / 3], [0, 0, 0]),             # 0 is no limit
    ("equal_weight", 5, [P / 5, P / 5, P / 5], [0, 0, 0]),             # slots from the limit
    ("equal_weight", 2, [P / 2, P / 2, None], [0, 0, 1]),              # the third is refused
    ("full", None, [P, None, None], [0, 0, 0]),                        # an empty pool skips, unrefused
    ("full", 2, [P, None, None], [0, 0, 0]),
])
def test_budgets_and_the_position_limit(allocation, max_positions, budgets, refused):
    rows = [inst([10.0] * 4, [1], symbol=s) for s in "ABC"]
    port = tm.run_portfolio_backtest(rows, BC(fees=0.0, max_positions=max_positions), allocation)
    sizes = {t.symbol: t.size for t in port.result.trades()}
    assert sizes == pytest.approx({s: b / 10 for s, b in zip("ABC", budgets) if b is not None}, rel=1e-9)
    assert ([s.rejected_entries for s in port.per_instrument], port.rejected_entries) == (refused, sum(refused))
    assert port.result.metrics.end_value == pytest.approx(P, rel=1e-12)


def test_kill_switch_blocks_later_entries_and_keeps_managing_open_positions():
    rows = [inst([100, 100, 80, 85, 90, 90], [1], [4], symbol="A"), inst([50.0] * 6, [2], symbol="B"),
            inst([20.0] * 6, [3, 5], symbol="C")]      # one notional position: 5 is not a new entry
    port = tm.run_portfolio_backtest(rows, BC(fees=0.0, max_drawdown_pct=5.0))
    # A takes P/3 at 100 on bar 1; B enters on bar 2 (entries run before the switch is
    # checked) with (2P/3)/2; A at 80 puts the book 6.67 % down and trips the switch.
    assert (port.halted, port.halted_at, port.rejected_entries) == (True, 2, 1)
    assert [(s.symbol, s.trades, s.rejected_entries) for s in port.per_instrument] == \
        [("A", 1, 0), ("B", 1, 0), ("C", 0, 1)]
    a, b = port.result.trades()
    assert (a.symbol, a.exit_idx, a.exit_reason, a.exit_price) == ("A", 4, "Signal", 90)
    assert (b.symbol, b.exit_idx, b.exit_reason) == ("B", 5, "EndOfData")
    assert a.pnl == pytest.approx(-P / 30, rel=1e-9) and port.per_instrument[0].pnl == pytest.approx(a.pnl)
    eq = [P, P, P - P / 15, P - P / 20, P - P / 30, P - P / 30]
    assert port.result.equity_curve() == pytest.approx(eq, rel=1e-9)
    assert port.result.drawdown_curve() == pytest.approx([(P - e) / P * 100 for e in eq], rel=1e-6)


@pytest.mark.parametrize("limit, halted_at", [(0.0, None), (-5.0, None), (20.0, 2), (25.0, None)])
def test_kill_switch_trips_at_the_limit_only_when_it_is_positive(limit, halted_at):
    port = tm.run_portfolio_backtest([inst([100, 100, 80, 85], [1])], BC(fees=0.0, max_drawdown_pct=limit))
    assert (port.halted, port.halted_at) == (halted_at is not None, halted_at)


@pytest.mark.parametrize("rows, cfg, n", [
    ([inst([10.0] * 4, [0, 1, 2])], BC(initial_capital=0.0, max_positions=1), 4),   # an empty pool skips, unrefused
    ([inst([]), inst([], symbol="B")], BC(max_drawdown_pct=1.0), 0),
])
def test_runs_without_a_trade(rows, cfg, n):
    port = tm.run_portfolio_backtest(rows, cfg)
    res = port.result
    assert res.trades() == [] and (port.halted, port.halted_at, port.rejected_entries) == (False, None, 0)
    assert [list(c()) for c in (res.equity_curve, res.returns, res.drawdown_curve)] == \
        [[cfg.initial_capital] * n, [0.0] * n, [0.0] * n]
    assert [(s.symbol, s.trades, s.pnl, s.rejected_entries) for s in port.per_instrument] == \
        [(r[10], 0, 0.0, 0) for r in rows]
    assert res.metrics.end_value == cfg.initial_capital


def test_next_bar_open_entries_are_gated_on_the_bar_they_fill():
    # A's exit signalled on bar 2 frees the only slot at bar 3's open, where B's entry signalled on
    # bar 2 fills with the whole pool
    rows = [inst([10.0] * 5, [0], [2], symbol="A"), inst([20.0] * 5, [2], symbol="B")]
    port = tm.run_portfolio_backtest(rows, BC(fees=0.0, upon_bar_close=False, max_positions=1), "full")
    a, b = port.result.trades()
    assert [(t.symbol, t.entry_idx, t.exit_idx) for t in (a, b)] == [("A", 1, 3), ("B", 3, 4)]
    assert b.size == pytest.approx(P / 20, rel=1e-12) and port.rejected_entries == 0


@pytest.mark.parametrize("configs, size", [
    ({"A": IC(alloted_capital=25000.0)}, 2500.0),
    ({"a": IC(lot_size=75.0), "B": IC(lot_size=75.0)}, 10000.0),   # keys naming no instrument do nothing
])
def test_instrument_configs_reach_the_kernel(configs, size):
    port = tm.run_portfolio_backtest([inst([10.0] * 3, [0])], BC(fees=0.0), instrument_configs=configs)
    assert port.result.trades()[0].size == pytest.approx(size, rel=1e-12)


@pytest.mark.parametrize("rows, kw, text", [
    ([], {}, "run_portfolio_backtest requires at least one instrument"),
    ([inst([1.0] * 3), inst([1.0] * 2)], {},
     "all instruments must have the same number of bars; instrument 1 has 2, expected 3"),
    ([inst([1.0] * 3)], dict(allocation="Full"), "unknown allocation 'Full'; expected 'equal_weight' or 'full'"),
])
def test_value_checks(rows, kw, text):
    with pytest.raises(ValueError) as info:
        tm.run_portfolio_backtest(rows, **kw)
    assert str(info.value) == text


# A budget below 1e-9 of the initial capital (the residue an all-in entry leaves) opens nothing and is not
# refused. A's allotment leaves `left` (to rounding) for B's entry on bar 1; a ruined book (A's exit at
# almost nothing) leaves `left` for A's own next entry: the bound is the initial capital, not the pool.
@pytest.mark.parametrize("allocation, scenario, left, opens", [
    ("full", "allotted", 0.5e-9 * P, False), ("full", "allotted", 2e-9 * P, True),
    ("equal_weight", "ruined", 1e-10 * P, False), ("equal_weight", "ruined", 1e-8 * P, True),
])
def test_residue_of_the_pool_opens_nothing(allocation, scenario, left, opens):
    if scenario == "allotted":
        rows = [inst([1.0] * 4, [0], symbol="A"), inst([1.0] * 4, [1], symbol="B")]
        configs, last = {"A": IC(alloted_capital=P - left)}, "B"
    else:
        rows, configs, last = [inst([1.0, 1.0, left / P, left / P, left / P], [0, 3], [2])], None, "A"
    port = tm.run_portfolio_backtest(rows, BC(fees=0.0), allocation, configs)
    tail = [t.size * t.entry_price for t in port.result.trades() if t.symbol == last and t.entry_idx >= 1]
    assert tail == ([pytest.approx(left, rel=1e-6)] if opens else [])
    assert [port.rejected_entries] + [s.rejected_entries for s in port.per_instrument] == [0] * (len(rows) + 1)
    assert port.result.metrics.end_value == pytest.approx(P if scenario == "allotted" else left, rel=1e-6)


# Kernels that fill plainly take a short step for their entries and exits; a stop no price can reach sends
# every step through the full one, which must leave the same run.
@pytest.mark.parametrize("allocation, kw", [
    ("full", {}), ("equal_weight", dict(max_positions=2, fees=0.3)),
    ("full", dict(max_drawdown_pct=5.0, initial_capital=1e-3)),
])
def test_short_entry_and_exit_steps_leave_the_full_steps_run(allocation, kw):
    rng = np.random.default_rng(11)
    rows = [random_row(rng, 400, d, s) for d, s in zip((1, -1, 1, -1, 1), "ABCDE")]
    rows[2][4][[7, 50]] = np.nan, 0.0
    plain = tm.run_portfolio_backtest(rows, BC(**kw), allocation)
    full = tm.run_portfolio_backtest(rows, stop(BC(**kw), "fixed_stop", 10.0), allocation)
    assert len(plain.result.trades()) >= 5
    same_result(plain.result, full.result)
    assert (plain.rejected_entries, plain.halted, plain.halted_at) == (full.rejected_entries, full.halted,
                                                                       full.halted_at)
