"""optimize_portfolio, OptimizerConfig, OptimizationResult, OptimizeItem and batch_optimize_portfolios."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

import _tidemark as tm

IDS = ["a", "b", "c", "d"]
NAN, INF = math.nan, math.inf


def make_model(n, seed, ids):
    rng = np.random.default_rng(seed)
    return tm.estimate_covariance(rng.normal(0, 0.01, (300, n)) + rng.normal(0, 0.005, (300, 1)), ids, 252.0)


MODEL = make_model(4, 3, IDS)
SIGMA = MODEL.cov()


def config(**kw):
    return tm.OptimizerConfig(**{**dict(risk_aversion=4.0, turnover_penalty=0.0, position_cap=1.0,
                                        sector_ids=[0, 0, 1, 1], sector_caps=[1.0, 1.0]), **kw})


def alpha_for(target, ra=4.0, shift=0.001):
    # 2 ra Sigma w - alpha + lambda = 0 holds at w = target with budget multiplier lambda = shift
    return 2 * ra * SIGMA @ np.asarray(target) + shift


def optimize(alpha=(0.001, 0.002, 0.0, 0.001), w_current=None, ids=IDS, **kw):
    w = np.zeros(4) if w_current is None else np.asarray(w_current, dtype=float)
    return tm.optimize_portfolio(MODEL, np.asarray(alpha, dtype=float), w, ids, config(**kw))


@pytest.mark.parametrize("target, kw", [
    ([0.05, 0.6, 0.3, 0.05], dict(risk_aversion=20.0)),
    ([0.3, -0.2, 0.15, -0.25], dict(short_cap=0.5, gross_max=2.0, net_min=0.0, net_max=0.0, sector_caps=[5.0, 5.0]))])
def test_book_reaches_its_closed_form_optimum(target, kw):
    ra, c = kw.get("risk_aversion", 4.0), config(**kw)
    a, before = alpha_for(target, ra), {k: getattr(c, k) for k in list(FIELDS) + ["sector_ids", "sector_caps"]}
    r = tm.optimize_portfolio(MODEL, a, np.zeros(4), IDS, c)
    w = r.weights()
    assert {k: getattr(c, k) for k in before} == before
    assert repr(r) == (f"PyOptimizationResult(turnover={r.turnover:.4f}, cash={r.cash:.4f}, "
                       f"vol_annualized={r.vol_annualized:.4f}, status=Solved)")
    np.testing.assert_allclose(w, target, atol=2e-5)
    assert r.solver_status == "Solved" and r.iterations > 0 and r.snapped == [False] * 4
    assert r.objective == pytest.approx(ra * w @ SIGMA @ w - a @ w, abs=1e-8)
    assert r.vol_annualized == pytest.approx(math.sqrt(w @ SIGMA @ w) * math.sqrt(252.0), rel=1e-12)
    assert (r.net_exposure, r.gross_exposure) == pytest.approx((w.sum(), np.abs(w).sum()), abs=1e-15)
    assert (r.net_exposure, r.cash) == pytest.approx((sum(target), 1 - sum(target)), abs=1e-7)  # cash unclamped
    np.testing.assert_array_equal(r.trades(), w)
    assert r.turnover == pytest.approx(0.5 * np.abs(w).sum(), abs=1e-15)


def test_binding_limits():
    # asset 0 wants 0.55 (cap 0.45); sector 1 wants 0.35 (cap 0.25); asset 1 takes the remaining 0.3
    r = optimize(alpha_for([0.55, 0.1, 0.2, 0.15]), position_cap=0.45, sector_caps=[1.0, 0.25])
    w = r.weights()
    assert (w[0], w[2] + w[3]) == pytest.approx((0.45, 0.25), abs=1e-6) and w[1] == pytest.approx(0.3, abs=1e-5)
    assert w.sum() == pytest.approx(1.0, abs=1e-7) and np.all(w >= 0) and r.cash == 0.0   # clamped, not -1e-9
    # a book of losers holds cash up to cash_max
    r = optimize([-0.01, -0.02, -0.01, -0.03], cash_max=0.3)
    assert r.weights().sum() == pytest.approx(0.7, abs=1e-6) and r.cash == pytest.approx(0.3, abs=1e-6)
    assert r.cash <= 0.3
    # long/short: the unconstrained optimum shorts 0.6 of asset 1 and grosses 1.5
    w = optimize(alpha_for([0.5, -0.6, 0.3, -0.2]), short_cap=0.4, gross_max=1.2, net_min=-1.0, net_max=1.0,
                 sector_caps=[5.0, 5.0]).weights()
    assert w[1] >= -0.4 - 1e-7 and np.abs(w).sum() <= 1.2 + 1e-6 and np.abs(w).sum() == pytest.approx(1.2, abs=1e-5)


def test_turnover_penalty_stops_small_gains():
    target = [0.4, 0.3, 0.2, 0.1]
    r = optimize(alpha_for([0.45, 0.25, 0.2, 0.1]), w_current=target, turnover_penalty=1.0)
    np.testing.assert_array_equal(r.weights(), target)
    assert r.turnover == 0.0


@pytest.mark.parametrize("kw, snapped", [
    # moves +0.15, +0.05, -0.05, -0.15, worth 150,000 and 50,000 on a book of 1e6
    (dict(no_trade_band=0.1), [False, True, True, False]), (dict(no_trade_band=0.01), [False] * 4),
    (dict(min_trade_value=60_000.0, portfolio_value=1e6), [False, True, True, False]),
])
def test_small_trades_are_snapped_back(kw, snapped):
    # 0.9 invested, up to 0.2 cash: the budget does not bind and the optimum is the target itself
    held, target = np.array([0.2, 0.25, 0.25, 0.2]), np.array([0.35, 0.3, 0.2, 0.05])
    r = optimize(alpha_for(target, shift=0.0), w_current=held, cash_max=0.2, **kw)
    w = r.weights()
    assert r.snapped == snapped and r.cash == pytest.approx(0.1, abs=1e-5)
    assert all(w[i] == held[i] if s else w[i] == pytest.approx(target[i], abs=2e-5) for i, s in enumerate(snapped))
    np.testing.assert_array_equal(r.trades(), w - held)


DRIFTED = np.array([0.3004, 0.25, 0.2, 0.15])   # asset 0 held at its 0.3 cap, then a month's drift


@pytest.mark.parametrize("w_current, kw, past", [
    (DRIFTED, dict(no_trade_band=0.01), [0]),
    (DRIFTED, dict(min_trade_value=60_000.0, portfolio_value=1e6), [0]),   # a trim worth 400
    ([0.5, 0.5, 0.0, 0.0], dict(alpha=[0.05, 0.0, 0.05, -0.05], position_cap=0.45, no_trade_band=0.1,
                                risk_aversion=0.001, cash_max=0.0), [0, 1]),
    ([0.25, -0.2004, 0.2, 0.1], dict(target=[0.25, -0.25, 0.2, 0.1], no_trade_band=0.01, short_cap=0.2,
                                     gross_max=1.5, sector_caps=[5.0, 5.0]), [1]),   # a short past its cap
    # past by less than the post-snap tolerance (10 x tolerance): snapped as any other trade
    (DRIFTED - [0.0004 - 9e-8, 0, 0, 0], dict(no_trade_band=0.01), []),
])
def test_trims_back_to_a_cap_are_never_snapped(w_current, kw, past):
    w_current, kw = np.asarray(w_current), dict(kw)
    alpha = np.asarray(kw.pop("alpha", None) or alpha_for(kw.pop("target", [0.35, 0.3, 0.2, 0.05]), shift=0.0))
    cfg = config(**{**dict(position_cap=0.3, cash_max=0.2), **kw})
    r = tm.optimize_portfolio(MODEL, alpha, w_current, IDS, cfg)
    w, tol = r.weights(), 10 * cfg.tolerance
    assert list(np.flatnonzero((w_current > cfg.position_cap + tol) | (w_current < -cfg.short_cap - tol))) == past
    assert not any(r.snapped[i] for i in past) and any(r.snapped)
    assert np.all(w <= cfg.position_cap + tol) and np.all(w >= -cfg.short_cap - tol)


# The solver meets the budget (long-only) or the net bounds (long/short) within its own tolerance, relative to the
# problem's scaling: large books land a few 1e-7 outside, which is not stranded weight when nothing was snapped.
# Books drawn from one stream (one-factor returns plus noise), each a draw that lands outside by more than the
# post-snap tolerance (here; the solver's last digits may differ between processors, so no weight is pinned).
@pytest.mark.parametrize("n, draw, kw", [
    (400, 4, {}), (400, 5, {}),
    (800, 1, dict(short_cap=0.5, gross_max=1.0, net_min=0.0, net_max=0.0)),
])
def test_unsnapped_books_are_not_checked_against_the_budget_again(n, draw, kw):
    rng = np.random.default_rng(8)
    ids = [f"a{i}" for i in range(n)]
    returns = rng.normal(0, 0.01, (n + 5, 1)) + rng.normal(0, 0.01, (n + 5, n))
    model = tm.estimate_covariance(returns, ids, 252.0)
    alpha, w_current = [(rng.normal(0, 0.002, n), rng.random(n)) for _ in range(draw + 1)][draw]
    cfg = tm.OptimizerConfig(5.0, 0.0, 0.5, [i % 2 for i in range(n)], [1.0, 1.0], **kw)
    r = tm.optimize_portfolio(model, alpha, w_current * 0.9 / w_current.sum(), ids, cfg)
    assert r.solver_status == "Solved" and not any(r.snapped)
    if kw:
        assert (r.net_exposure, r.cash) == (pytest.approx(0.0, abs=1e-6), 1.0 - r.net_exposure)
    else:
        assert (r.net_exposure, r.cash) == (pytest.approx(1.0, abs=1e-6), 0.0)  # clamped, as a passing cash is


DEG = "degenerate input: "
INFEASIBLE = "infeasible constraints: "


@pytest.mark.parametrize("kw, message", [
    (dict(alpha=[0, 0], ids=["b", "a", "c", "d"]), "asset ids mismatch: position 0: model 'a' vs caller 'b'"),
    (dict(alpha=[0, 0], ids=["a", "b", "c"]), "asset ids mismatch: model has 4 assets, caller supplied 3"),
    (dict(alpha=[0.1, 0.2]), "shape mismatch: model has 4 assets; alpha has 2, w_current has 4"),
    (dict(alpha=[0, 0, 0, NAN]), "non-finite value at row 0, col 3"),
    (dict(w_current=[0, 0, 0, INF], short_cap=0.5), "non-finite value at row 1, col 3"),
    (dict(w_current=[-1e-11, 0, 0, 0]),
     DEG + "w_current[0] = -0.00000000001 is negative; this optimizer is long-only unless short_cap > 0"),
    (dict(w_current=[0.5, 0.3, 0.2, 0.01]), DEG + "w_current sums to 1.010000, which exceeds 1"),
    (dict(short_cap=1.5), DEG + "short_cap must be in [0, 1], got 1.5"),
    # NaN is neither mode: finiteness, then the budget, then short_cap
    (dict(w_current=[-0.5, 0, 0, 0], short_cap=NAN), DEG + "short_cap must be in [0, 1], got NaN"),
    (dict(w_current=[0.9, 0.9, 0, 0], short_cap=NAN), DEG + "w_current sums to 1.800000, which exceeds 1"),
    (dict(short_cap=0.5, gross_max=NAN), DEG + "gross_max must be > 0 in long/short mode, got NaN"),
    (dict(short_cap=0.5, net_min=0.5, net_max=0.2), DEG + "net bounds must be finite with net_min <= net_max, got [0.5, 0.2]"),
    (dict(short_cap=0.5, net_min=NAN), DEG + "net bounds must be finite with net_min <= net_max, got [NaN, 1]"),
    (dict(short_cap=0.5, net_min=2.0, net_max=2.0, gross_max=1.0), INFEASIBLE + "net bounds [2, 2] lie outside the gross budget 1"),
    (dict(risk_aversion=0.0, no_trade_band=NAN, sector_ids=[0]), DEG + "risk_aversion must be > 0, got 0"),
    (dict(turnover_penalty=NAN), DEG + "turnover_penalty must be >= 0, got NaN"),
    (dict(position_cap=1.5), DEG + "position_cap must be in (0, 1], got 1.5"),
    (dict(cash_max=1.0), DEG + "cash_max must be in [0, 1), got 1"),
    (dict(no_trade_band=-0.01), DEG + "no_trade_band and min_trade_value must be >= 0"),
    (dict(min_trade_value=NAN), DEG + "no_trade_band and min_trade_value must be >= 0"),
    (dict(min_trade_value=1000.0, portfolio_value=NAN), DEG + "min_trade_value set but portfolio_value is NaN"),
    (dict(sector_ids=[0, 0, 1]), "shape mismatch: 3 sector_ids for 4 assets"),
    (dict(sector_ids=[0, 0, 2, 1]), "shape mismatch: sector_ids[2] = 2 out of range for 2 sector_caps"),
    (dict(sector_caps=[NAN, 1.0]), DEG + "sector_caps[0] must be > 0, got NaN"),
    (dict(tolerance=NAN), DEG + "tolerance must be > 0, got NaN"),
    (dict(position_cap=0.2), INFEASIBLE + "position_cap 0.2 x 4 assets = 0.8000 cannot reach required investment 1.0000"),
    (dict(sector_caps=[0.3, 0.4]), INFEASIBLE + "sector caps admit at most 0.7000 invested, below required 1.0000"),
    (dict(position_cap=0.3, sector_caps=[1.0, 0.3]),
     INFEASIBLE + "sector caps admit at most 0.9000 invested, below required 1.0000"),
    (dict(max_iter=1), "solver failed: status MaxIterations after 1 iterations"),
    # shorts of at most 0.1 each cannot reach a net of -0.9; no pre-check sees it
    (dict(alpha=[0.0] * 4, short_cap=0.1, net_min=-0.9, net_max=-0.9, sector_caps=[5.0, 5.0]),
     (INFEASIBLE + "solver certified primal infeasibility (PrimalInfeasible)",
      INFEASIBLE + "solver certified primal infeasibility (AlmostPrimalInfeasible)")),
])
def test_refused_books_in_check_order(kw, message):
    with pytest.raises(ValueError) as exc:
        optimize(**kw)
    assert str(exc.value) in ((message,) if isinstance(message, str) else message)


FIELDS = dict(no_trade_band=0.0, min_trade_value=0.0, portfolio_value=0.0, cash_max=0.0, max_iter=200,
              tolerance=1e-8, short_cap=0.0, gross_max=1.0, net_min=0.0, net_max=1.0)


def test_optimizer_config_fields_defaults_and_setters():
    c = tm.OptimizerConfig(1.0, 0.5, 0.3, [0, 1], [0.6, 0.7])
    assert (c.risk_aversion, c.turnover_penalty, c.position_cap, c.sector_ids, c.sector_caps) == \
        (1.0, 0.5, 0.3, [0, 1], [0.6, 0.7])
    assert {k: getattr(c, k) for k in FIELDS} == FIELDS
    c.sector_ids.append(5)   # a new list on every read
    c.sector_ids, c.sector_caps, c.max_iter, c.tolerance = (2, 3, 4), [1], 2**32 - 1, 1
    assert (c.sector_ids, c.sector_caps, c.max_iter, c.tolerance) == ([2, 3, 4], [1.0], 2**32 - 1, 1.0)
    assert type(c.sector_caps[0]) is float


BATCH_IDS = [f"s{i}" for i in range(6)]
BATCH_MODEL = make_model(6, 9, BATCH_IDS)


def batch_items(count, seed=1):
    # optima leave cash inside [0, cash_max], so snapping small trades never strands it outside
    rng = np.random.default_rng(seed)
    return [(f"u{k}", 6.0 * BATCH_MODEL.cov() @ (rng.dirichlet(np.ones(6)) * 0.75), rng.uniform(0.08, 0.17, 6),
             None if k % 3 else 1e5 * (k + 1)) for k in range(count)]


def batch_config(**kw):
    return tm.OptimizerConfig(3.0, 1e-6, 0.35, [0, 0, 1, 1, 2, 2], [0.8] * 3, cash_max=0.6, no_trade_band=0.002,
                              min_trade_value=3000.0, portfolio_value=kw.get("portfolio_value") or 2e6)


def test_batch_equals_serial_calls_in_item_order():
    cfg, specs = batch_config(), batch_items(24)
    specs[5] = ("u1", *specs[5][1:])  # a repeated id is optimised and returned twice
    out = tm.batch_optimize_portfolios(BATCH_MODEL, [tm.OptimizeItem(i, a, w, portfolio_value=v)
                                                     for i, a, w, v in specs], cfg)
    assert [item_id for item_id, _ in out] == [s[0] for s in specs]
    for (item_id, r), (_, a, w, v) in zip(out, specs):
        s = tm.optimize_portfolio(BATCH_MODEL, a, w, BATCH_IDS, batch_config(portfolio_value=v))
        fields = [(x.weights().tolist(), x.trades().tolist(), x.snapped, x.iterations, x.objective, x.cash,
                   x.turnover, x.vol_annualized) for x in (r, s)]
        assert fields[0] == fields[1], item_id
    assert cfg.portfolio_value == 2e6 and tm.batch_optimize_portfolios(BATCH_MODEL, [], cfg) == []
    # an item's portfolio value changes only its minimum-trade test
    _, a, w, _ = specs[0]
    (_, rs), (_, rl) = tm.batch_optimize_portfolios(BATCH_MODEL, [tm.OptimizeItem("s", a, w, 1e5),
                                                                  tm.OptimizeItem("l", a, w, 1e9)], cfg)
    assert sum(rs.snapped) > sum(rl.snapped)


def test_the_first_failing_item_fails_the_batch():
    items = [tm.OptimizeItem(i, a, w, v) for i, a, w, v in batch_items(8)]
    items[2] = tm.OptimizeItem("bad2", np.zeros(2), np.zeros(6))
    items[5] = tm.OptimizeItem("bad5", np.zeros(6), np.full(6, NAN))
    with pytest.raises(ValueError) as exc:
        tm.batch_optimize_portfolios(BATCH_MODEL, items, batch_config())
    assert str(exc.value) == "item 'bad2': shape mismatch: model has 6 assets; alpha has 2, w_current has 6"


def switch_books(n, modes):
    """A model of n assets and, per mode (long-short or long-only), a config and two (target, alpha) pairs
    optimal at their target: 2 risk_aversion cov t - alpha + 0.001 = 0."""
    ids, sectors, rng = [f"x{i}" for i in range(n)], [i % 4 for i in range(n)], np.random.default_rng(n + 1)
    model, books = make_model(n, n, ids), []
    for ls in modes:  # long-short: net pinned at 0, no cap binds
        cfg = tm.OptimizerConfig(4.0, 0.0, 1.0, sectors, [5.0] * 4, short_cap=0.5, gross_max=2.0, net_min=0.0,
                                 net_max=0.0) if ls else tm.OptimizerConfig(4.0, 0.0, 1.0, sectors, [1.0] * 4)
        ts = [rng.uniform(-1.0, 1.0, n) if ls else rng.uniform(0.5, 1.5, n) for _ in range(2)]
        ts = [(t - t.mean()) / np.abs(t - t.mean()).sum() if ls else t / t.sum() for t in ts]
        books.append((cfg, [(t, 8.0 * model.cov() @ t + 0.001) for t in ts]))
    return model, ids, books


def switch_batches(n, modes):
    """Each mode's pair of books optimised in one batch: weights, objective and iterations, bit for bit."""
    model, _, books = switch_books(n, modes)
    return [(r.weights().tobytes().hex(), r.objective.hex(), r.iterations) for cfg, pair in books
            for _, r in tm.batch_optimize_portfolios(model, [tm.OptimizeItem(f"b{k}", alpha, np.zeros(n))
                                                             for k, (_, alpha) in enumerate(pair)], cfg)]


# Books of 400 assets or more are factored with faer, smaller ones with QDLDL: either side of the switch
# they reach their optimum, and a single call, a batch and a batch on a pool of one thread (in a process
# that may use a single CPU) agree bit for bit. At 600 a multi-threaded faer would order its sums by the
# thread count.
@pytest.mark.parametrize("n, modes", [(399, (False, True)), (400, (False, True)), (600, (False,))])
def test_books_either_side_of_the_solver_switch_solve_and_repeat_bit_for_bit(n, modes):
    model, ids, books = switch_books(n, modes)
    single = []
    for cfg, pair in books:
        for target, alpha in pair:
            r = tm.optimize_portfolio(model, alpha, np.zeros(n), ids, cfg)
            assert r.solver_status == "Solved"
            np.testing.assert_allclose(r.weights(), target, rtol=0, atol=1e-5)
            single.append((r.weights().tobytes().hex(), r.objective.hex(), r.iterations))
    assert switch_batches(n, modes) == single
    script = f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r}); import test_optimiser as t; " \
             f"print(t.switch_batches({n}, {modes}))"
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True, timeout=120,
                           preexec_fn=lambda: os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}))
    assert child.stdout.strip() == repr(single)
