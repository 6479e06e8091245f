"""Rebalance-policy simulation with Indian costs, and the cost-schedule export."""

import numpy as np
import pytest

import _tidemark as tm
from analytics_reference import leg_cost, rebalance

NAN, INF = float("nan"), float("inf")
SEGMENTS = ("equity_delivery, equity_intraday, futures_nfo, options_nfo, futures_mcx, options_mcx, "
            "futures_cds, options_cds")


def market(t, n, seed):
    rng = np.random.default_rng(seed)
    raw = rng.random((t, n))
    return 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (t, n)), axis=0)), raw / raw.sum(axis=1, keepdims=True) * 0.95


def arrays(r):
    return r.equity_curve(), r.turnover(), r.cost_regulatory(), r.cost_brokerage(), r.cost_dp()


def sim(prices, targets, capital, policy="calendar", param=1, *args, **kw):
    return tm.simulate_rebalance_policy(np.array(prices, dtype=float), np.array(targets, dtype=float), capital, policy,
                                        param, *args, **kw)


@pytest.mark.parametrize("segment, fee_segment", [
    ("equity_intraday", "NSE"), ("equity_delivery", "NSE-DELIVERY"), ("futures_nfo", "NFO-FUT"),
    ("options_nfo", "NFO-OPT"), ("futures_mcx", "MCX-FUT"), ("options_mcx", "MCX-OPT"), ("futures_cds", "CDS-FUT"),
    ("options_cds", "CDS-OPT")])
def test_schedule_is_the_table_the_fee_model_charges(segment, fee_segment):
    schedule, delivery = tm.indian_cost_schedule(segment.title()), segment == "equity_delivery"
    assert len(schedule) == 8 and schedule["dp_sell_charge_per_isin_per_day"] == 15.34
    close, entries, exits = np.array([100.0, 101.0, 250.0, 103.0, 104.0]), np.arange(5) == 1, np.arange(5) == 3
    trade = tm.run_single_backtest(np.arange(5, dtype=np.int64), close, close, close, close, np.ones(5), entries,
                                   exits, config=tm.BacktestConfig(fee_segment=fee_segment)).trades()[0]
    assert trade.entry_fees == pytest.approx(leg_cost(schedule, True, trade.entry_price * trade.size, delivery)[0])
    assert trade.exit_fees == pytest.approx(leg_cost(schedule, False, trade.exit_price * trade.size, delivery)[0])
    # the rebalance simulation charges the same leg
    r = sim([[50.0]], [[0.5]], 1e5, segment=segment)
    cost, brokerage = leg_cost(schedule, True, 5e4, delivery)
    assert (r.cost_brokerage()[0], r.cost_regulatory()[0]) == pytest.approx((brokerage, cost - brokerage))


@pytest.mark.parametrize("name, shown", [("NSE-DELIVERY", "nse-delivery"), ("ÉQUITY_DELIVERY", "Équity_delivery")])
def test_unknown_segments(name, shown):
    for call in (lambda: tm.indian_cost_schedule(name), lambda: sim(*market(3, 2, 0), 1e5, "band", 0.1, segment=name)):
        with pytest.raises(ValueError) as exc:
            call()
        assert str(exc.value) == f"unknown segment '{shown}'; expected one of {SEGMENTS}"


def test_delivery_legs_by_hand():
    # Buying 1,00,000 of delivery: brokerage 0, STT 100, exchange 3.07, SEBI 0.1, stamp 15,
    # GST 0.18 x 3.17 = 0.5706; 118.7406 in all. Date 1 then sells half the book at 110.
    r = sim([[100.0], [110.0]], [[1.0], [0.5]], 1e5)
    assert r.cost_brokerage()[0] == 0.0 and r.cost_regulatory()[0] == pytest.approx(118.7406, abs=1e-9)
    e1 = 1000 * 110.0 - 118.7406
    q = 1000 * 110.0 - 0.5 * e1
    assert r.cost_regulatory()[1] == pytest.approx(q * 0.001 + 1.18 * q * (3.07e-05 + 1e-06), rel=1e-12)  # no stamp
    assert list(r.cost_dp()) == [0.0, 15.34] and r.turnover()[0] == 0.5 and (r.n_rebalances, r.n_trades) == (2, 2)
    assert r.turnover()[1] == pytest.approx(q / e1 * 0.5, rel=1e-12)


@pytest.mark.parametrize("policy, param, segment", [
    ("calendar", 1.0, "equity_delivery"), ("CALENDAR", 5.0, "equity_intraday"), ("band", 0.02, "options_mcx"),
    ("BaNd", 0.3, "equity_delivery")])
def test_runs_match_the_reference(policy, param, segment):
    prices, targets = market(60, 6, seed=len(segment))
    targets[10:20] = targets[10]   # constant targets let drift build up
    r = tm.simulate_rebalance_policy(prices, targets, 250_000.0, policy, param, segment, 500.0, 15.34, 52.0)
    ref = rebalance(prices, targets, 250_000.0, policy.lower(), param, tm.indian_cost_schedule(segment),
                    segment == "equity_delivery", min_trade=500.0, ppy=52.0)
    for got, want in zip(arrays(r), ref[:5]):
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-9)
    assert (r.n_rebalances, r.n_trades) == ref[5:7]
    assert r.total_cost_drag_annualized == pytest.approx(ref[7], rel=1e-12)


def test_rebalance_dates_and_skipped_legs():
    prices, targets = market(12, 3, seed=1)
    assert sim(prices, targets, 1e6).n_rebalances == 12 and sim(prices, targets, 1e6, "calendar", 1e30).n_rebalances == 1
    # legs of exactly 300 and 200 against a strict minimum
    assert [sim([[100, 100]], [[0.3, 0.2]], 1000.0, min_trade_value=m).n_trades for m in (200.0, 200.0000001)] == [2, 1]
    # date 1: no leg at all; date 2: legs of about 25 below the minimum; neither counts
    r = sim([[100, 100], [100, 100], [101, 100]], np.full((3, 2), 0.5), 10_000.0, min_trade_value=100.0)
    assert (r.n_rebalances, r.n_trades) == (1, 2) and all((a[1:] == 0).all() for a in arrays(r)[1:])
    # a zero-rate segment charges its flat 20 on every leg, however small
    assert sim([[100, 100]], [[1e-4, 2e-4]], 1e4, "calendar", 1, "options_nfo").cost_brokerage()[0] == 40.0


def test_non_positive_pre_trade_equity_is_used_as_it_stands():
    # costs on top of the full spend, then a vanishing price: the sell-out divides by negative equity
    prices, targets = np.array([[1.0], [1e-6]]), np.array([[1.0], [0.0]])
    r = sim(prices, targets, 1000.0)
    pre_trade = r.equity_curve()[0] - 1000.0 + 1000.0 * 1e-6
    assert pre_trade < 0 and r.turnover()[1] == pytest.approx(1e-3 / pre_trade * 0.5, rel=1e-9)
    ref = rebalance(prices, targets, 1000.0, "calendar", 1.0, tm.indian_cost_schedule("equity_delivery"), True)
    for got, want in zip(arrays(r), ref[:5]):
        np.testing.assert_allclose(got, want, rtol=1e-12)
    assert "non-positive pre-trade equity is used as it stands" in " ".join(tm.simulate_rebalance_policy.__doc__.split())


BASE = dict(zip(("prices", "target_weights"), market(4, 3, seed=2)), initial_capital=1e5, policy="calendar",
            policy_param=1.0)


def cell(value, row=1, col=2, fill=0.2):
    a = np.full((4, 3), fill)
    a[row, col] = value
    return a


@pytest.mark.parametrize("change, expected", [
    (dict(target_weights=np.zeros((3, 3)), policy="x"), "target_weights shape 3x3 differs from prices 4x3"),
    (dict(policy="Weekly", segment="nope"), "unknown policy 'weekly'; expected 'calendar' or 'band'"),
    (dict(policy_param=2.5), "calendar policy_param must be a whole number >= 1, got 2.5"),
    (dict(policy_param=NAN, segment="x"), "calendar policy_param must be a whole number >= 1, got NaN"),
    (dict(segment="nope", initial_capital=-1.0), f"unknown segment 'nope'; expected one of {SEGMENTS}"),
    (dict(prices=np.zeros((0, 3)), target_weights=np.zeros((0, 3))), "degenerate input: empty panel"),
    (dict(prices=cell(INF, 2, 0, 1.0), target_weights=cell(NAN)), "non-finite value at row 2, col 0"),
    (dict(target_weights=cell(NAN), initial_capital=-1.0), "non-finite value at row 1, col 2"),
    (dict(prices=cell(-0.5, 3, 1, 1.0), initial_capital=0.0), "degenerate input: non-positive price -0.5 at row 3, col 1"),
    (dict(target_weights=cell(-2e-12), initial_capital=0.0),
     "degenerate input: target weights on date 1 must be long-only and sum <= 1 (sum 0.400000)"),
    (dict(target_weights=np.full((4, 3), 0.34)),
     "degenerate input: target weights on date 0 must be long-only and sum <= 1 (sum 1.020000)"),
    (dict(initial_capital=INF), "degenerate input: initial_capital must be > 0, got inf"),
    (dict(dp_charge_per_isin=-0.01, periods_per_year=0.0),
     "degenerate input: dp_charge_per_isin and min_trade_value must be >= 0"),
    (dict(periods_per_year=-1e-7), "degenerate input: periods_per_year must be > 0, got -0.0000001"),
    (dict(policy="band", policy_param=0.0), "degenerate input: Band band must be a positive finite fraction"),
    (dict(target_weights=cell(-1e-13)), None),   # within the weight tolerances
    (dict(target_weights=np.full((4, 3), 1.0000000005 / 3)), None),
])
def test_checks_in_order(change, expected):
    if expected is None:
        assert tm.simulate_rebalance_policy(**{**BASE, **change}).n_rebalances == 4
        return
    with pytest.raises(ValueError) as exc:
        tm.simulate_rebalance_policy(**{**BASE, **change})
    assert str(exc.value) == expected


def test_defaults():
    prices, targets = market(30, 4, seed=6)
    r, explicit = sim(prices, targets, 5e5, "calendar", 7), sim(prices, targets, 5e5, "calendar", 7, "equity_delivery",
                                                                0.0, 15.34, 252.0)
    assert all(np.array_equal(a, b) for a, b in zip(arrays(r), arrays(explicit)))
    assert r.total_cost_drag_annualized == explicit.total_cost_drag_annualized


@pytest.mark.parametrize("seed, every", [(0, 1), (1, 1), (2, 1), (3, 2), (4, 3)])
def test_a_name_sold_out_holds_exactly_nothing(seed, every):
    # three names, about a third of the targets 0 on any date
    rng, t_len = np.random.default_rng(seed), 40
    prices = 100 * np.cumprod(1 + rng.integers(-40, 41, (t_len, 3)) / 1000, axis=0)
    units = rng.integers(0, 3, (t_len, 3))
    targets = units / np.maximum(units.sum(axis=1, keepdims=True), 1) * 0.9
    on = np.arange(t_len) % every == 0
    # what each date holds before it trades: the target of the last rebalance before it
    held = np.vstack([np.zeros(3, bool), (targets[on] != 0).repeat(every, axis=0)[:t_len - 1]])
    assert (held[:-1] & ~held[1:]).sum() >= 5   # sell-outs that later dates hold at nothing
    r = sim(prices, targets, 1e6, "calendar", every)
    assert r.n_trades == ((targets != 0) | held)[on].sum()   # a leg per non-zero target and per sell-out
    # the price of a name held at nothing touches nothing, to the last bit
    m = sim(np.where(~held & (~on[:, None] | (targets == 0)), prices * 3, prices), targets, 1e6, "calendar", every)
    assert all(np.array_equal(a, b) for a, b in zip(arrays(r), arrays(m)))
    assert (r.n_trades, r.total_cost_drag_annualized) == (m.n_trades, m.total_cost_drag_annualized)
