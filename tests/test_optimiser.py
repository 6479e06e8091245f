"""optimize_portfolio, OptimizerConfig, OptimizationResult, OptimizeItem and batch_optimize_portfolios."""

import math

import numpy as np
import pytest

import _tidemark as tm

IDS = ["a", "b", "c", "d"]
P18, P22 = " " * 18, " " * 22


def make_model(n=4, seed=3, ids=None):
    rng = np.random.default_rng(seed)
    returns = rng.normal(0.0, 0.01, (300, n)) + rng.normal(0.0, 0.005, (300, 1))
    return tm.estimate_covariance(returns, ids or [f"s{i}" for i in range(n)], 252.0)


MODEL = make_model(ids=IDS)
SIGMA = MODEL.cov()


def config(**kw):
    base = dict(risk_aversion=4.0, turnover_penalty=0.0, position_cap=1.0, sector_ids=[0, 0, 1, 1],
                sector_caps=[1.0, 1.0])
    base.update(kw)
    return tm.OptimizerConfig(**base)


def alpha_for(target, ra=4.0, shift=0.001, sigma=SIGMA):
    """Expected returns whose optimum over a budget row is `target`: the
    stationarity condition 2 ra Sigma w - alpha + lambda = 0 holds at w = target
    with lambda = shift, so when no other constraint binds, target is the
    optimum."""
    return 2 * ra * sigma @ np.asarray(target) + shift


def optimize(alpha, w_current=None, model=MODEL, ids=IDS, **kw):
    w = np.zeros(len(ids)) if w_current is None else np.asarray(w_current, dtype=float)
    return tm.optimize_portfolio(model, np.asarray(alpha, dtype=float), w, ids, config(**kw))


# --- optima --------------------------------------------------------------------


@pytest.mark.parametrize("target, ra", [
    ([0.4, 0.3, 0.2, 0.1], 4.0),
    ([0.25, 0.25, 0.25, 0.25], 0.5),
    ([0.05, 0.6, 0.3, 0.05], 20.0),
])
def test_long_only_book_reaches_its_closed_form_optimum(target, ra):
    r = optimize(alpha_for(target, ra), risk_aversion=ra)
    w = r.weights()
    np.testing.assert_allclose(w, target, atol=2e-5)
    assert r.solver_status == "Solved" and r.iterations > 0
    a = alpha_for(target, ra)
    assert r.objective == pytest.approx(ra * w @ SIGMA @ w - a @ w, abs=1e-8)
    assert r.vol_annualized == pytest.approx(math.sqrt(w @ SIGMA @ w) * math.sqrt(252.0), rel=1e-12)
    assert r.net_exposure == pytest.approx(w.sum(), abs=1e-15)
    assert r.gross_exposure == pytest.approx(np.abs(w).sum(), abs=1e-15)
    np.testing.assert_array_equal(r.trades(), w)
    assert r.turnover == pytest.approx(0.5 * np.abs(w).sum(), abs=1e-15)
    assert r.snapped == [False] * 4


def test_fully_invested_book_from_nothing():
    # All-zero holdings, cap 1, one sector capped at 1, no cash, no turnover
    # cost: the weights sum to 1, cash clamps to 0, turnover is half the sum.
    r = optimize([0.002, 0.001, 0.003, 0.0], sector_ids=[0, 0, 0, 0], sector_caps=[1.0])
    w = r.weights()
    assert w.sum() == pytest.approx(1.0, abs=1e-7)
    assert r.cash == 0.0
    assert r.turnover == pytest.approx(w.sum() / 2, abs=1e-15)


def test_binding_caps_hold_the_weights_at_their_limits():
    # Asset 0 wants 0.55, capped at 0.45; sector 1 (assets 2, 3) wants 0.35,
    # capped at 0.25; asset 1 takes the remaining 0.3.
    r = optimize(alpha_for([0.55, 0.1, 0.2, 0.15]), position_cap=0.45, sector_caps=[1.0, 0.25])
    w = r.weights()
    assert w[0] == pytest.approx(0.45, abs=1e-6)
    assert w[2] + w[3] == pytest.approx(0.25, abs=1e-6)
    assert w[1] == pytest.approx(0.3, abs=1e-5)
    assert w.sum() == pytest.approx(1.0, abs=1e-7) and np.all(w >= 0)


def test_cash_max_lets_a_book_of_losers_hold_cash():
    r = optimize([-0.01, -0.02, -0.01, -0.03], cash_max=0.3)
    assert r.weights().sum() == pytest.approx(0.7, abs=1e-6)
    assert r.cash == pytest.approx(0.3, abs=1e-6) and r.cash <= 0.3


def test_turnover_penalty_keeps_an_optimal_book_and_stops_small_gains():
    target = [0.4, 0.3, 0.2, 0.1]
    # Already at the optimum: any trade only adds cost.
    r = optimize(alpha_for(target), w_current=target, turnover_penalty=0.01)
    np.testing.assert_array_equal(r.weights(), target)
    assert r.turnover == 0.0
    # A gain smaller than the cost of trading for it is not taken.
    r = optimize(alpha_for([0.45, 0.25, 0.2, 0.1]), w_current=target, turnover_penalty=1.0)
    np.testing.assert_array_equal(r.weights(), target)


def test_long_short_market_neutral_book_reaches_its_closed_form_optimum():
    target = np.array([0.3, -0.2, 0.15, -0.25])
    r = optimize(alpha_for(target), short_cap=0.5, gross_max=2.0, net_min=0.0, net_max=0.0,
                 sector_caps=[5.0, 5.0])
    np.testing.assert_allclose(r.weights(), target, atol=2e-5)
    assert r.net_exposure == pytest.approx(0.0, abs=1e-7)
    assert r.cash == pytest.approx(1.0, abs=1e-7)  # unclamped: 1 - net
    assert r.gross_exposure == pytest.approx(0.9, abs=5e-5)


def test_long_short_caps_and_gross_budget_bind():
    # The unconstrained optimum shorts 0.6 of asset 1 and grosses 1.5.
    target = np.array([0.5, -0.6, 0.3, -0.2])
    r = optimize(alpha_for(target), short_cap=0.4, gross_max=1.2, net_min=-1.0, net_max=1.0,
                 sector_caps=[5.0, 5.0])
    w = r.weights()
    assert w[1] >= -0.4 - 1e-7
    assert np.abs(w).sum() <= 1.2 + 1e-6
    assert np.abs(w).sum() == pytest.approx(1.2, abs=1e-5)


# --- snapping --------------------------------------------------------------------


def test_a_band_wider_than_every_trade_keeps_the_book_exactly():
    # The holdings break the position cap; snapping every trade returns them
    # as they are, with no post-snap check.
    held = np.array([0.7, 0.1, 0.1, 0.1])
    r = optimize(alpha_for([0.25, 0.25, 0.25, 0.25]), w_current=held, position_cap=0.5, no_trade_band=0.9)
    np.testing.assert_array_equal(r.weights(), held)
    np.testing.assert_array_equal(r.trades(), np.zeros(4))
    assert r.snapped == [True] * 4
    assert r.turnover == 0.0 and r.cash == pytest.approx(0.0, abs=1e-15)
    assert "current\nweights are returned as they are, with no post-snap check" in tm.optimize_portfolio.__doc__


@pytest.mark.parametrize("kw, snapped", [
    # moves +0.15, +0.05, -0.05, -0.15, worth 150,000 and 50,000 on a book of 1e6
    (dict(no_trade_band=0.1), [False, True, True, False]),
    (dict(no_trade_band=0.01), [False, False, False, False]),
    (dict(min_trade_value=60_000.0, portfolio_value=1e6), [False, True, True, False]),
    (dict(min_trade_value=40_000.0, portfolio_value=1e6), [False, False, False, False]),
])
def test_small_trades_are_snapped_back(kw, snapped):
    # 0.9 invested with up to 0.2 cash allowed: the budget does not bind, and
    # the unconstrained optimum is the target itself.
    held = np.array([0.2, 0.25, 0.25, 0.2])
    target = np.array([0.35, 0.3, 0.2, 0.05])
    r = optimize(alpha_for(target, shift=0.0), w_current=held, cash_max=0.2, **kw)
    assert r.snapped == snapped
    w = r.weights()
    for i, s in enumerate(snapped):
        if s:
            assert w[i] == held[i]
        else:
            assert w[i] == pytest.approx(target[i], abs=2e-5)
    np.testing.assert_array_equal(r.trades(), w - held)
    assert r.cash == pytest.approx(0.1, abs=1e-5)


def test_snapping_a_reducing_trade_that_leaves_a_weight_over_its_cap_fails():
    # Asset 0 is held at 0.5 over a 0.45 cap; the optimum trims it by 0.05,
    # which the band snaps back, while other trades go ahead.
    with pytest.raises(ValueError) as exc:
        optimize([0.05, 0.0, 0.05, -0.05], w_current=[0.5, 0.5, 0.0, 0.0], position_cap=0.45,
                 no_trade_band=0.1, risk_aversion=0.001)
    assert str(exc.value) == (
        "infeasible constraints: post-snap weight 0.500000 on asset 0 exceeds position_cap" + P18 + "0.450000; "
        "the no-trade band snapped a trade that was reducing" + P18 + "it -- lower the band, raise the cap, or "
        "accept the trades")


# --- checks ----------------------------------------------------------------------

NAN, INF = math.nan, math.inf


@pytest.mark.parametrize("alpha, w_current, kw, message", [
    ([0.1, 0.2], None, {}, "shape mismatch: model has 4 assets; alpha has 2, w_current has 4"),
    (None, [0.0] * 3, {}, "shape mismatch: model has 4 assets; alpha has 4, w_current has 3"),
    ([0, 0, 0, NAN], None, {}, "non-finite value at row 0, col 3"),
    (None, [0, 0, 0, NAN], {}, "non-finite value at row 1, col 3"),
    (None, [0, 0, 0, INF], dict(short_cap=0.5), "non-finite value at row 1, col 3"),
    (None, [-1e-11, 0, 0, 0], {},
     "degenerate input: w_current[0] = -0.00000000001 is negative; this optimizer is long-only unless short_cap > 0"),
    (None, [0.5, 0.3, 0.2, 0.01], {}, "degenerate input: w_current sums to 1.010000, which exceeds 1"),
    (None, None, dict(short_cap=-0.1), "degenerate input: short_cap must be in [0, 1], got -0.1"),
    (None, None, dict(short_cap=1.5), "degenerate input: short_cap must be in [0, 1], got 1.5"),
    (None, None, dict(short_cap=INF), "degenerate input: short_cap must be in [0, 1], got inf"),
    # NaN is neither mode: finiteness, then the budget, then short_cap
    (None, [-0.5, 0, 0, 0], dict(short_cap=NAN), "degenerate input: short_cap must be in [0, 1], got NaN"),
    (None, [0.9, 0.9, 0, 0], dict(short_cap=NAN), "degenerate input: w_current sums to 1.800000, which exceeds 1"),
    (None, None, dict(short_cap=0.5, gross_max=0.0), "degenerate input: gross_max must be > 0 in long/short mode, got 0"),
    (None, None, dict(short_cap=0.5, gross_max=NAN),
     "degenerate input: gross_max must be > 0 in long/short mode, got NaN"),
    (None, None, dict(short_cap=0.5, net_min=0.5, net_max=0.2),
     "degenerate input: net bounds must be finite with net_min <= net_max, got [0.5, 0.2]"),
    (None, None, dict(short_cap=0.5, net_min=NAN),
     "degenerate input: net bounds must be finite with net_min <= net_max, got [NaN, 1]"),
    (None, None, dict(short_cap=0.5, net_min=2.0, net_max=2.0, gross_max=1.0),
     "infeasible constraints: net bounds [2, 2] lie outside the gross budget 1"),
    (None, None, dict(risk_aversion=0.0), "degenerate input: risk_aversion must be > 0, got 0"),
    (None, None, dict(risk_aversion=INF), "degenerate input: risk_aversion must be > 0, got inf"),
    (None, None, dict(turnover_penalty=-0.5), "degenerate input: turnover_penalty must be >= 0, got -0.5"),
    (None, None, dict(turnover_penalty=NAN), "degenerate input: turnover_penalty must be >= 0, got NaN"),
    (None, None, dict(position_cap=1.5), "degenerate input: position_cap must be in (0, 1], got 1.5"),
    (None, None, dict(position_cap=NAN), "degenerate input: position_cap must be in (0, 1], got NaN"),
    (None, None, dict(cash_max=1.0), "degenerate input: cash_max must be in [0, 1), got 1"),
    (None, None, dict(cash_max=NAN), "degenerate input: cash_max must be in [0, 1), got NaN"),
    (None, None, dict(no_trade_band=-0.01), "degenerate input: no_trade_band and min_trade_value must be >= 0"),
    (None, None, dict(no_trade_band=NAN), "degenerate input: no_trade_band and min_trade_value must be >= 0"),
    (None, None, dict(min_trade_value=NAN), "degenerate input: no_trade_band and min_trade_value must be >= 0"),
    (None, None, dict(min_trade_value=1000.0), "degenerate input: min_trade_value set but portfolio_value is 0"),
    (None, None, dict(min_trade_value=1000.0, portfolio_value=NAN),
     "degenerate input: min_trade_value set but portfolio_value is NaN"),
    (None, None, dict(sector_ids=[0, 0, 1]), "shape mismatch: 3 sector_ids for 4 assets"),
    (None, None, dict(sector_ids=[0, 0, 2, 1]), "shape mismatch: sector_ids[2] = 2 out of range for 2 sector_caps"),
    (None, None, dict(sector_caps=[1.0, 0.0]), "degenerate input: sector_caps[1] must be > 0, got 0"),
    (None, None, dict(sector_caps=[NAN, 1.0]), "degenerate input: sector_caps[0] must be > 0, got NaN"),
    (None, None, dict(tolerance=NAN), "degenerate input: tolerance must be > 0, got NaN"),
    (None, None, dict(tolerance=0.0), "degenerate input: tolerance must be > 0, got 0"),
    (None, None, dict(tolerance=-1e-8), "degenerate input: tolerance must be > 0, got -0.00000001"),
    (None, None, dict(position_cap=0.2),
     "infeasible constraints: position_cap 0.2 x 4 assets = 0.8000 cannot reach required investment 1.0000"),
    (None, None, dict(sector_caps=[0.3, 0.4]),
     "infeasible constraints: sector caps admit at most 0.7000 invested, below required 1.0000"),
    (None, None, dict(position_cap=0.3, sector_caps=[1.0, 0.3]),
     "infeasible constraints: sector caps admit at most 0.9000 invested, below required 1.0000"),
    (None, None, dict(max_iter=1), "solver failed: status MaxIterations after 1 iterations"),
])
def test_refused_books(alpha, w_current, kw, message):
    a = [0.001, 0.002, 0.0, 0.001] if alpha is None else alpha
    with pytest.raises(ValueError) as exc:
        optimize(a, w_current, **kw)
    assert str(exc.value) == message


def test_the_first_failing_check_wins():
    # A wrong sector count, a NaN band and a zero risk aversion together: the
    # risk aversion comes first.
    with pytest.raises(ValueError, match="^degenerate input: risk_aversion"):
        optimize([0.0] * 4, risk_aversion=0.0, no_trade_band=NAN, sector_ids=[0])


def test_solver_certified_infeasibility():
    # Net exposure of -0.9 cannot be reached with shorts of at most 0.1 each;
    # no pre-check sees it.
    with pytest.raises(ValueError) as exc:
        optimize([0.0] * 4, short_cap=0.1, net_min=-0.9, net_max=-0.9, sector_caps=[5.0, 5.0])
    assert str(exc.value) in ("infeasible constraints: solver certified primal infeasibility (PrimalInfeasible)",
                              "infeasible constraints: solver certified primal infeasibility "
                              "(AlmostPrimalInfeasible)")


@pytest.mark.parametrize("ids, message", [
    (["b", "a", "c", "d"], "asset ids mismatch: position 0: model 'a' vs caller 'b'"),
    (["a", "b", "c"], "asset ids mismatch: model has 4 assets, caller supplied 3"),
    (["a", "b", "c", "D"], "asset ids mismatch: position 3: model 'd' vs caller 'D'"),
])
def test_asset_ids_must_match_the_model(ids, message):
    # Checked before anything else, even before the alpha length.
    with pytest.raises(ValueError) as exc:
        tm.optimize_portfolio(MODEL, np.zeros(2), np.zeros(4), ids, config())
    assert str(exc.value) == message


@pytest.mark.parametrize("args, name", [
    ((None, np.zeros(4), np.zeros(4), IDS, config()), "model"),
    ((MODEL, [0.0] * 4, np.zeros(4), IDS, config()), "alpha"),
    ((MODEL, np.zeros(4), np.zeros(4, dtype=np.float32), IDS, config()), "w_current"),
    ((MODEL, np.zeros(4), np.zeros(4), "abcd", config()), "asset_ids"),
    ((MODEL, np.zeros(4), np.zeros(4), IDS, MODEL), "config"),
])
def test_wrong_argument_types_name_the_argument(args, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        tm.optimize_portfolio(*args)


# --- the classes ------------------------------------------------------------------

FIELDS = dict(no_trade_band=0.0, min_trade_value=0.0, portfolio_value=0.0, cash_max=0.0, max_iter=200,
              tolerance=1e-8, short_cap=0.0, gross_max=1.0, net_min=0.0, net_max=1.0)


def test_optimizer_config_fields_defaults_and_setters():
    c = tm.OptimizerConfig(1.0, 0.5, 0.3, [0, 1], [0.6, 0.7])
    assert (c.risk_aversion, c.turnover_penalty, c.position_cap) == (1.0, 0.5, 0.3)
    assert c.sector_ids == [0, 1] and c.sector_caps == [0.6, 0.7]
    assert {k: getattr(c, k) for k in FIELDS} == FIELDS
    ids = c.sector_ids
    ids.append(5)
    assert c.sector_ids == [0, 1]  # a new list on every read
    c.sector_ids = (2, 3, 4)
    c.sector_caps = [1]
    c.max_iter = 2**32 - 1
    c.tolerance = 1  # any number Python converts to float
    assert c.sector_ids == [2, 3, 4] and c.sector_caps == [1.0] and type(c.sector_caps[0]) is float
    assert c.max_iter == 2**32 - 1 and c.tolerance == 1.0
    with pytest.raises(OverflowError):
        c.max_iter = 2**32
    with pytest.raises(OverflowError):
        c.sector_ids = [-1]
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        c.sector_caps = "12"
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del c.net_max
    with pytest.raises(OverflowError):
        tm.OptimizerConfig(1.0, 0.5, 0.3, [0], [1.0], max_iter=-1)


def test_an_optimisation_leaves_its_config_untouched():
    c = config(no_trade_band=0.01)
    before = {k: getattr(c, k) for k in list(FIELDS) + ["sector_ids", "sector_caps", "risk_aversion"]}
    tm.optimize_portfolio(MODEL, alpha_for([0.4, 0.3, 0.2, 0.1]), np.zeros(4), IDS, c)
    assert {k: getattr(c, k) for k in before} == before


def test_optimization_result_members():
    r = optimize(alpha_for([0.4, 0.3, 0.2, 0.1]))
    assert repr(r) == (f"PyOptimizationResult(turnover={r.turnover:.4f}, cash={r.cash:.4f}, "
                       f"vol_annualized={r.vol_annualized:.4f}, status=Solved)")
    a, b = r.weights(), r.weights()
    assert a is not b and a.dtype == np.float64 and a.shape == (4,)
    a[0] = 99.0
    assert r.weights()[0] != 99.0
    assert type(r.iterations) is int and type(r.solver_status) is str
    with pytest.raises(AttributeError):
        r.cash = 1.0


# --- the batch -------------------------------------------------------------------

BATCH_MODEL = make_model(n=6, seed=9)
BATCH_IDS = [f"s{i}" for i in range(6)]


def batch_items(count, seed=1):
    """Books whose unconstrained optimum leaves cash inside [0, cash_max], so
    that snapping small trades never strands it outside."""
    rng = np.random.default_rng(seed)
    sigma = BATCH_MODEL.cov()
    items = []
    for k in range(count):
        held = rng.uniform(0.08, 0.17, 6)
        target = rng.dirichlet(np.ones(6)) * 0.75
        alpha = 2 * 3.0 * sigma @ target
        items.append((f"u{k}", alpha, held, None if k % 3 else 1e5 * (k + 1)))
    return items


def batch_config():
    return tm.OptimizerConfig(3.0, 1e-6, 0.35, [0, 0, 1, 1, 2, 2], [0.8, 0.8, 0.8], cash_max=0.6,
                              no_trade_band=0.002, min_trade_value=3000.0, portfolio_value=2e6)


def same(a, b):
    return (np.array_equal(a.weights(), b.weights()) and np.array_equal(a.trades(), b.trades())
            and a.snapped == b.snapped and a.iterations == b.iterations and a.objective == b.objective
            and (a.cash, a.turnover, a.vol_annualized) == (b.cash, b.turnover, b.vol_annualized))


def test_batch_equals_serial_calls_in_item_order():
    cfg = batch_config()
    specs = batch_items(24)
    specs[5] = ("u1", *specs[5][1:])  # a repeated id is optimised and returned twice
    items = [tm.OptimizeItem(i, a, w, portfolio_value=v) for i, a, w, v in specs]
    out = tm.batch_optimize_portfolios(BATCH_MODEL, items, cfg)
    assert [item_id for item_id, _ in out] == [s[0] for s in specs]
    for (item_id, res), (_, a, w, v) in zip(out, specs):
        own = batch_config()
        if v is not None:
            own.portfolio_value = v
        assert same(res, tm.optimize_portfolio(BATCH_MODEL, a, w, BATCH_IDS, own)), item_id
    assert cfg.portfolio_value == 2e6
    assert tm.batch_optimize_portfolios(BATCH_MODEL, [], cfg) == []


def test_an_items_portfolio_value_changes_only_its_minimum_trade_test():
    _, a, w, _ = batch_items(1)[0]
    small = tm.OptimizeItem("small", a, w, 1e5)   # every trade worth < 3000 is snapped
    large = tm.OptimizeItem("large", a, w, 1e9)
    plain = tm.OptimizeItem("plain", a, w)
    (_, rs), (_, rl), (_, rp) = tm.batch_optimize_portfolios(BATCH_MODEL, [small, large, plain], batch_config())
    assert sum(rs.snapped) > sum(rl.snapped)
    assert same(rp, tm.optimize_portfolio(BATCH_MODEL, a, w, BATCH_IDS, batch_config()))


def test_the_first_failing_item_fails_the_batch():
    specs = batch_items(8)
    items = [tm.OptimizeItem(i, a, w, v) for i, a, w, v in specs]
    items[2] = tm.OptimizeItem("bad2", specs[2][1][:2], specs[2][2])
    items[5] = tm.OptimizeItem("bad5", specs[5][1], np.full(6, NAN))
    with pytest.raises(ValueError) as exc:
        tm.batch_optimize_portfolios(BATCH_MODEL, items, batch_config())
    assert str(exc.value) == "item 'bad2': shape mismatch: model has 6 assets; alpha has 2, w_current has 6"


@pytest.mark.parametrize("items, error, message", [
    ("abc", TypeError, "argument 'items': Can't extract `str` to `Vec`"),
    ([tm.OptimizerConfig(1, 0, 1, [], [])], TypeError, None),
    (5, TypeError, None),
])
def test_batch_items_must_be_a_sequence_of_items(items, error, message):
    with pytest.raises(error) as exc:
        tm.batch_optimize_portfolios(BATCH_MODEL, items, batch_config())
    if message:
        assert str(exc.value) == message


def test_optimize_item_copies_its_arrays_and_checks_nothing():
    a = np.zeros(6)
    item = tm.OptimizeItem("x", a, np.zeros(3))  # lengths are the batch's business
    a[:] = 5.0
    with pytest.raises(ValueError, match="^item 'x': shape mismatch: model has 6 assets; alpha has 6, w_current has 3$"):
        tm.batch_optimize_portfolios(BATCH_MODEL, [item], batch_config())
    with pytest.raises(TypeError, match="^argument 'portfolio_value': "):
        tm.OptimizeItem("x", a, a, "1")
    assert not [n for n in dir(item) if not n.startswith("__")]
