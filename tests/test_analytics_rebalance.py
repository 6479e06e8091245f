"""Rebalance-policy simulation with Indian costs, and the cost-schedule export."""

import math

import numpy as np
import pytest

import _tidemark as tm
from analytics_reference import leg_cost, rebalance

NAN, INF = float("nan"), float("inf")
SEGMENTS = ["equity_intraday", "equity_delivery", "futures_nfo", "options_nfo",
            "futures_mcx", "options_mcx", "futures_cds", "options_cds"]
SEGMENT_LIST = ("equity_delivery, equity_intraday, futures_nfo, options_nfo, futures_mcx, options_mcx, "
                "futures_cds, options_cds")


def msg(exc_info):
    return str(exc_info.value)


def market(t, n, seed):
    rng = np.random.default_rng(seed)
    prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (t, n)), axis=0))
    raw = rng.random((t, n))
    targets = raw / raw.sum(axis=1, keepdims=True) * 0.95
    return prices, targets


def simulate(prices, targets, capital=1e6, policy="calendar", param=1.0, **kw):
    return tm.simulate_rebalance_policy(prices, targets, capital, policy, param, **kw)


def arrays(r):
    return r.equity_curve(), r.turnover(), r.cost_regulatory(), r.cost_brokerage(), r.cost_dp()


# --- the cost schedule ----------------------------------------------------------------

def test_options_cds_schedule():
    assert tm.indian_cost_schedule("options_cds") == {
        "brokerage_flat": 20.0, "brokerage_rate": 0.0, "stt_rate": 0.0, "exchange_txn_rate": 0.000311,
        "stamp_duty_rate": 1e-06, "sebi_turnover_rate": 1e-06, "gst_rate": 0.18,
        "dp_sell_charge_per_isin_per_day": 15.34,
    }


@pytest.mark.parametrize("segment, fee_segment", list(zip(SEGMENTS, [
    "NSE", "NSE-DELIVERY", "NFO-FUT", "NFO-OPT", "MCX-FUT", "MCX-OPT", "CDS-FUT", "CDS-OPT"])))
def test_schedule_is_the_table_the_fee_model_charges(segment, fee_segment):
    # A backtest charged under the exchange-product name must pay, leg by leg,
    # what the exported schedule says.
    schedule = tm.indian_cost_schedule(segment)
    n = 6
    close = np.array([100.0, 101.0, 250.0, 103.0, 104.0, 105.0])
    ts = np.arange(n, dtype=np.int64) * 86_400_000_000_000
    entries = np.zeros(n, dtype=bool)
    exits = np.zeros(n, dtype=bool)
    entries[1], exits[3] = True, True
    cfg = tm.BacktestConfig(initial_capital=50_000.0, fee_segment=fee_segment)
    trade = tm.run_single_backtest(ts, close, close, close, close, np.ones(n), entries, exits, config=cfg).trades()[0]
    delivery = segment == "equity_delivery"
    buy, _ = leg_cost(schedule, True, trade.entry_price * trade.size, delivery)
    sell, _ = leg_cost(schedule, False, trade.exit_price * trade.size, delivery)
    assert trade.entry_fees == pytest.approx(buy, rel=1e-12)
    assert trade.exit_fees == pytest.approx(sell, rel=1e-12)


@pytest.mark.parametrize("name", ["EQUITY_DELIVERY", "Options_Cds", "futures_MCX"])
def test_segment_names_ignore_ascii_case(name):
    assert tm.indian_cost_schedule(name) == tm.indian_cost_schedule(name.lower())


@pytest.mark.parametrize("name, shown", [
    (" equity_delivery", " equity_delivery"), ("", ""), ("NSE", "nse"), ("equity-delivery", "equity-delivery"),
    ("ÉQUITY_DELIVERY", "Équity_delivery"),
])
def test_unknown_segments(name, shown):
    expected = f"unknown segment '{shown}'; expected one of {SEGMENT_LIST}"
    with pytest.raises(ValueError) as exc:
        tm.indian_cost_schedule(name)
    assert msg(exc) == expected
    prices, targets = market(3, 2, 0)
    with pytest.raises(ValueError) as exc:
        simulate(prices, targets, segment=name)
    assert msg(exc) == expected


def test_schedule_argument_type():
    with pytest.raises(TypeError) as exc:
        tm.indian_cost_schedule(1)
    assert msg(exc).startswith("argument 'segment': ")


# --- one leg by hand -------------------------------------------------------------------------

def test_delivery_buy_of_one_lakh():
    # Brokerage 0, STT 100, exchange 3.07, SEBI 0.1, stamp 15, GST 0.18 x 3.17 = 0.5706: 118.7406.
    r = simulate(np.array([[100.0]]), np.array([[1.0]]), capital=100_000.0)
    assert r.cost_brokerage()[0] == 0.0
    assert r.cost_regulatory()[0] == pytest.approx(118.7406, abs=1e-9)
    assert r.cost_dp()[0] == 0.0 and r.turnover()[0] == 0.5
    assert r.equity_curve()[0] == pytest.approx(100_000.0 - 118.7406, abs=1e-9)
    assert (r.n_rebalances, r.n_trades) == (1, 1)
    assert r.total_cost_drag_annualized == pytest.approx(118.7406 / (100_000.0 - 118.7406) * 252, rel=1e-12)


def test_sell_pays_stt_and_the_depository_charge():
    # Date 1 sells half of a 1000-share delivery holding: STT on the sell, no
    # stamp duty, and 15.34 once for the asset.
    prices = np.array([[100.0, 50.0], [110.0, 50.0]])
    targets = np.array([[1.0, 0.0], [0.5, 0.0]])
    r = simulate(prices, targets, capital=100_000.0)
    e1 = -118.7406 + 1000 * 110.0
    q = 1000 * 110.0 - 0.5 * e1
    x, s = q * 3.07e-05, q * 1e-06
    assert r.cost_regulatory()[1] == pytest.approx(q * 0.001 + x + s + 0.18 * (x + s), rel=1e-12)
    assert r.cost_dp()[1] == 15.34
    assert r.turnover()[1] == pytest.approx(q / e1 * 0.5, rel=1e-12)


def test_zero_rate_segments_charge_the_flat_fee_on_every_leg():
    prices = np.array([[100.0, 100.0], [100.0, 100.0]])
    targets = np.array([[0.0001, 0.0002], [0.0, 0.0002]])
    # legs of 1 and 2 on date 0; on date 1 a sell of 1 (the second asset's
    # cost-sized drift stays below the minimum)
    r = simulate(prices, targets, capital=10_000.0, segment="options_nfo", dp_charge_per_isin=0.0, min_trade_value=0.5)
    assert np.array_equal(r.cost_brokerage(), [40.0, 20.0])
    r = simulate(prices, targets, capital=10_000.0, segment="futures_nfo", dp_charge_per_isin=0.0, min_trade_value=0.5)
    np.testing.assert_allclose(r.cost_brokerage(), [0.0003 * 1.0 + 0.0003 * 2.0, 0.0003 * 1.0], rtol=1e-12)


# --- whole runs against the plain-loop reference ---------------------------------------------------

@pytest.mark.parametrize("policy, param", [("calendar", 1.0), ("calendar", 5.0), ("band", 0.02), ("band", 0.3)])
@pytest.mark.parametrize("segment", ["equity_delivery", "equity_intraday", "options_mcx"])
def test_runs_match_the_reference(policy, param, segment):
    prices, targets = market(60, 6, seed=len(segment))
    targets[10:20] = targets[10]   # a stretch of constant targets lets drift build up
    r = simulate(prices, targets, 250_000.0, policy, param, segment=segment, min_trade_value=500.0)
    ref = rebalance(prices, targets, 250_000.0, policy, param, tm.indian_cost_schedule(segment),
                    segment == "equity_delivery", min_trade=500.0)
    for got, want in zip(arrays(r), ref[:5]):
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-9)
        assert got.shape == (60,) and got.dtype == np.float64
    assert (r.n_rebalances, r.n_trades) == ref[5:7]
    assert r.total_cost_drag_annualized == pytest.approx(ref[7], rel=1e-12)


def test_calendar_dates():
    prices, targets = market(12, 3, seed=1)
    every = simulate(prices, targets, policy="calendar", param=1.0)
    assert every.n_rebalances == 12 and (every.turnover() > 0).all()
    third = simulate(prices, targets, policy="CALENDAR", param=3.0)
    assert third.n_rebalances == 4 and np.flatnonzero(third.turnover()).tolist() == [0, 3, 6, 9]
    once = simulate(prices, targets, policy="calendar", param=13.0)
    assert once.n_rebalances == 1 and once.n_trades == 3
    huge = simulate(prices, targets, policy="calendar", param=1e30)   # saturates, still only date 0
    assert huge.n_rebalances == 1


def test_band_trades_on_date_zero_then_only_past_the_band():
    prices = np.array([[100.0, 100.0], [100.0, 100.0], [130.0, 100.0], [131.0, 100.0], [200.0, 100.0]])
    targets = np.full((5, 2), 0.5)
    r = simulate(prices, targets, 1e6, "BaNd", 0.1)
    # after date 0 the book is 50/50; at 130 the weights are about 0.565/0.435:
    # half the drift is about 0.065 < 0.1; at 200 it is about 0.167 > 0.1
    assert np.flatnonzero(r.turnover()).tolist() == [0, 4]
    assert r.n_rebalances == 2


def test_min_trade_value_is_a_strict_lower_bound():
    prices = np.array([[100.0, 100.0]])
    targets = np.array([[0.3, 0.2]])
    # legs of exactly 300 and 200
    r = simulate(prices, targets, capital=1000.0, min_trade_value=200.0)
    assert r.n_trades == 2
    r = simulate(prices, targets, capital=1000.0, min_trade_value=200.0000001)
    assert r.n_trades == 1


def test_a_rebalance_date_with_every_leg_skipped_is_not_counted():
    prices = np.array([[100.0, 100.0], [100.0, 100.0], [101.0, 100.0]])
    targets = np.array([[0.5, 0.5], [0.5, 0.5], [0.5, 0.5]])
    r = simulate(prices, targets, capital=10_000.0, min_trade_value=100.0, dp_charge_per_isin=0.0)
    # date 1: nothing moved, every leg is zero; date 2: legs of about 25, below 100
    assert r.n_rebalances == 1 and r.n_trades == 2
    for a in arrays(r)[1:]:
        assert (a[1:] == 0.0).all()


def test_non_positive_pre_trade_equity_is_used_as_it_stands():
    # The first date spends all the capital and pays costs on top; the price
    # then all but vanishes, so the second date starts with negative equity.
    # Selling out divides by that equity as it is: a negative turnover.
    prices = np.array([[1.0], [1e-6]])
    targets = np.array([[1.0], [0.0]])
    r = simulate(prices, targets, capital=1000.0)
    ref = rebalance(prices, targets, 1000.0, "calendar", 1.0, tm.indian_cost_schedule("equity_delivery"), True)
    pre_trade = r.equity_curve()[0] - 1000.0 + 1000.0 * 1e-6
    assert pre_trade < 0
    assert r.turnover()[1] == pytest.approx(1000.0 * 1e-6 / pre_trade * 0.5, rel=1e-9) and r.turnover()[1] < 0
    for got, want in zip(arrays(r), ref[:5]):
        np.testing.assert_allclose(got, want, rtol=1e-12)
    assert "non-positive pre-trade equity is used as it stands" in " ".join(
        tm.simulate_rebalance_policy.__doc__.split())


# --- argument handling and checks, in order -------------------------------------------------------------

def base():
    prices, targets = market(4, 3, seed=2)
    return dict(prices=prices, target_weights=targets, initial_capital=1e5, policy="calendar", policy_param=1.0)


def with_cell(array, row, col, value):
    out = array.copy()
    out[row, col] = value
    return out


@pytest.mark.parametrize("change, expected", [
    (dict(target_weights=np.zeros((4, 2))), "target_weights shape 4x2 differs from prices 4x3"),
    (dict(target_weights=np.zeros((3, 3)), policy="weekly"), "target_weights shape 3x3 differs from prices 4x3"),
    (dict(policy="Weekly", segment="nope"), "unknown policy 'weekly'; expected 'calendar' or 'band'"),
    (dict(policy_param=2.5), "calendar policy_param must be a whole number >= 1, got 2.5"),
    (dict(policy_param=0.0), "calendar policy_param must be a whole number >= 1, got 0"),
    (dict(policy_param=NAN), "calendar policy_param must be a whole number >= 1, got NaN"),
    (dict(policy_param=INF), "calendar policy_param must be a whole number >= 1, got inf"),
    (dict(policy_param=-3.0, segment="nope"), "calendar policy_param must be a whole number >= 1, got -3"),
    (dict(segment="nope", initial_capital=-1.0), f"unknown segment 'nope'; expected one of {SEGMENT_LIST}"),
    (dict(prices=np.zeros((0, 3)), target_weights=np.zeros((0, 3))), "degenerate input: empty panel"),
    (dict(prices=np.zeros((4, 0)), target_weights=np.zeros((4, 0))), "degenerate input: empty panel"),
    (dict(initial_capital=-1.0, target_weights=with_cell(base()["target_weights"], 1, 2, NAN)),
     "non-finite value at row 1, col 2"),
    (dict(prices=with_cell(base()["prices"], 2, 0, INF), target_weights=with_cell(base()["target_weights"], 1, 2, NAN)),
     "non-finite value at row 2, col 0"),
    (dict(prices=with_cell(base()["prices"], 3, 1, -0.5), initial_capital=0.0),
     "degenerate input: non-positive price -0.5 at row 3, col 1"),
    (dict(prices=with_cell(base()["prices"], 0, 2, 0.0)), "degenerate input: non-positive price 0 at row 0, col 2"),
    (dict(target_weights=with_cell(np.full((4, 3), 0.2), 2, 1, -2e-12), initial_capital=0.0),
     "degenerate input: target weights on date 2 must be long-only and sum <= 1 (sum 0.400000)"),
    (dict(target_weights=np.full((4, 3), 0.34)),
     "degenerate input: target weights on date 0 must be long-only and sum <= 1 (sum 1.020000)"),
    (dict(initial_capital=0.0), "degenerate input: initial_capital must be > 0, got 0"),
    (dict(initial_capital=INF), "degenerate input: initial_capital must be > 0, got inf"),
    (dict(initial_capital=NAN), "degenerate input: initial_capital must be > 0, got NaN"),
    (dict(dp_charge_per_isin=-0.01, periods_per_year=0.0),
     "degenerate input: dp_charge_per_isin and min_trade_value must be >= 0"),
    (dict(min_trade_value=-1.0), "degenerate input: dp_charge_per_isin and min_trade_value must be >= 0"),
    (dict(periods_per_year=0.0), "degenerate input: periods_per_year must be > 0, got 0"),
    (dict(periods_per_year=-1e-7), "degenerate input: periods_per_year must be > 0, got -0.0000001"),
    (dict(policy="band", policy_param=0.0), "degenerate input: Band band must be a positive finite fraction"),
    (dict(policy="band", policy_param=NAN), "degenerate input: Band band must be a positive finite fraction"),
    (dict(policy="band", policy_param=INF), "degenerate input: Band band must be a positive finite fraction"),
])
def test_checks_in_order(change, expected):
    kw = base()
    kw.update(change)
    with pytest.raises(ValueError) as exc:
        tm.simulate_rebalance_policy(**kw)
    assert type(exc.value) is ValueError and msg(exc) == expected


@pytest.mark.parametrize("targets", [
    with_cell(np.full((4, 3), 0.2), 1, 1, -1e-13),       # a rounding-sized negative weight passes
    np.full((4, 3), 1.0000000005 / 3),                   # a sum just above 1 passes
])
def test_weight_tolerances(targets):
    kw = base()
    kw["target_weights"] = targets
    assert tm.simulate_rebalance_policy(**kw).n_rebalances == 4


@pytest.mark.parametrize("change, argument", [
    (dict(prices=np.zeros(3)), "prices"),
    (dict(target_weights=[[0.1]]), "target_weights"),
    (dict(initial_capital="1e5"), "initial_capital"),
    (dict(policy=1), "policy"),
    (dict(policy_param=None), "policy_param"),
    (dict(segment=None), "segment"),
    (dict(min_trade_value="0"), "min_trade_value"),
    (dict(dp_charge_per_isin=[1.0]), "dp_charge_per_isin"),
    (dict(periods_per_year=object()), "periods_per_year"),
])
def test_argument_types(change, argument):
    kw = base()
    kw.update(change)
    with pytest.raises(TypeError) as exc:
        tm.simulate_rebalance_policy(**kw)
    assert msg(exc).startswith(f"argument '{argument}': ")


def test_defaults_and_result_class():
    prices, targets = market(5, 2, seed=3)
    default = tm.simulate_rebalance_policy(prices, targets, 1e5, "calendar", 1)
    explicit = tm.simulate_rebalance_policy(prices, targets, 1e5, "calendar", 1, "equity_delivery", 0.0, 15.34, 252.0)
    for a, b in zip(arrays(default), arrays(explicit)):
        assert np.array_equal(a, b)
    assert default.total_cost_drag_annualized == explicit.total_cost_drag_annualized
    assert type(default.n_rebalances) is int and type(default.total_cost_drag_annualized) is float
    # the docstrings are the bare signature: CPython keeps it as the text signature
    for name in ("equity_curve", "turnover", "cost_regulatory", "cost_brokerage", "cost_dp"):
        method = getattr(tm.RebalanceSimResult, name)
        assert method.__text_signature__ == "($self)" and method.__doc__ is None
    with pytest.raises(TypeError, match="No constructor defined"):
        tm.RebalanceSimResult()
    with pytest.raises(AttributeError):
        default.n_trades = 0
    a = default.cost_dp()
    a[:] = -1.0
    assert (default.cost_dp() >= 0).all()


def test_cost_drag_is_total_cost_over_mean_equity_per_year():
    prices, targets = market(30, 4, seed=6)
    r = simulate(prices, targets, 5e5, "calendar", 7.0, periods_per_year=52.0)
    total = r.cost_regulatory().sum() + r.cost_brokerage().sum() + r.cost_dp().sum()
    assert r.total_cost_drag_annualized == pytest.approx(total / r.equity_curve().mean() / (30 / 52.0), rel=1e-12)
    assert math.isfinite(r.total_cost_drag_annualized)
