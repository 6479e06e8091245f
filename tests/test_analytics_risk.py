"""Risk model and risk contributions."""

import math

import numpy as np
import pytest

import _tidemark as tm
from analytics_reference import sequential_sample_covariance, shrunk_covariance

IDS3 = ["a", "b", "c"]
NAN, INF = float("nan"), float("inf")


def returns(t, n, seed=0, scale=0.01, common=0.5):
    """Correlated returns: a common factor plus noise, with column drifts."""
    rng = np.random.default_rng(seed)
    return (rng.normal(0, 1, (t, n)) + common * rng.normal(0, 1, (t, 1))) * scale + rng.normal(0, scale, (1, n))


@pytest.mark.parametrize("t, n, scale, common", [
    (300, 5, 0.01, 0.5), (4, 7, 2.0, 0.0),   # T < N: only shrinking fixes S
])
def test_estimate_matches_the_reference_shrinkage(t, n, scale, common):
    x = returns(t, n, seed=t * n, scale=scale, common=common)
    ref, delta = shrunk_covariance(x)
    model = tm.estimate_covariance(x, [f"s{i}" for i in range(n)], 252.0)
    assert model.shrinkage_intensity == pytest.approx(delta, rel=1e-9, abs=1e-12)
    c = model.cov()
    np.testing.assert_allclose(c, ref, rtol=1e-10, atol=1e-14 * np.abs(ref).max())
    assert c.flags.c_contiguous and np.array_equal(c, c.T) and np.linalg.eigvalsh(c).min() > 0


def test_two_assets_keep_the_sample_matrix_exactly():
    # The target equals S up to rounding: nothing is shrunk, every sum in period order.
    x = np.array([[0.01, 0.02], [-0.01, 0.0], [0.03, 0.04], [-0.03, -0.055], [0.002, 0.001]])
    model = tm.estimate_covariance(x, ["x", "y"], 12)
    assert model.shrinkage_intensity == 0.0
    assert np.array_equal(model.cov(), sequential_sample_covariance(x))


def test_shrinkage_cutoff_follows_the_scale_of_the_data():
    # A tenth of a basis point per period, fewer periods than assets: gamma is far
    # below an absolute 2^-52, yet only shrinking makes S usable. Units must not matter.
    x = returns(5, 8, seed=11, scale=1.0, common=0.3)
    ids = [str(i) for i in range(8)]
    big, small = tm.estimate_covariance(x, ids, 252), tm.estimate_covariance(x * 1e-5, ids, 252)
    assert small.shrinkage_intensity == pytest.approx(big.shrinkage_intensity, rel=1e-9) and small.shrinkage_intensity > 0
    np.testing.assert_allclose(small.cov(), big.cov() * 1e-10, rtol=1e-9)
    assert shrunk_covariance(x * 1e-5, relative_cutoff=False)[1] == 0.0   # what an absolute cut-off would do


def test_model_attributes_repr_and_layout():
    x, ids = returns(30, 3, seed=2), ["INFY", "TCS", "INFY"]          # duplicates accepted: only the order matters
    model = tm.estimate_covariance(np.asfortranarray(x), ids, 52.5)
    assert (model.n_obs, model.n_assets, model.periods_per_year) == (30, 3, 52.5)   # rows are periods
    assert model.asset_ids == ids and np.array_equal(model.cov(), tm.estimate_covariance(x, ids, 52.5).cov())
    model.cov()[0, 0] = 99.0
    assert model.cov()[0, 0] != 99.0 and "`returns` is `n_obs x n_assets`" in tm.estimate_covariance.__doc__
    assert repr(model) == (f"PyRiskModel(n_assets=3, n_obs=30, shrinkage={model.shrinkage_intensity:.4f}, "
                           "periods_per_year=52.5)")


BASE = returns(12, 1, seed=4)[:, 0]


def cells(value_at_3_1):
    x = 0.01 * np.arange(30.0).reshape(10, 3)
    x[3, 1] = value_at_3_1
    return x


@pytest.mark.parametrize("x, ids, ppy, expected", [
    (cells(NAN), ["a"], 252, "non-finite value at row 3, col 1"),        # cells before ids
    (cells(-INF), IDS3, 0, "non-finite value at row 3, col 1"),
    (returns(5, 3), ["a", "b"], 252, "shape mismatch: 2 asset_ids for 3 columns"),
    (returns(1, 3), IDS3, 252, "degenerate input: need at least 2 observations, got 1"),
    (np.zeros((5, 1)), ["a"], 252, "degenerate input: need at least 2 assets, got 1"),
    (returns(5, 3), IDS3, NAN, "degenerate input: periods_per_year must be a positive finite number, got NaN"),
    (returns(5, 3), IDS3, INF, "degenerate input: periods_per_year must be a positive finite number, got inf"),
    (np.column_stack([returns(6, 1)[:, 0], np.full(6, 0.003), returns(6, 1, 9)[:, 0]]), IDS3, 252,
     "zero-variance asset at index 1"),
    (np.column_stack([returns(6, 1)[:, 0], 1e6 + 1e-6 * np.arange(6)]), ["a", "b"], 252,   # price-like column
     "zero-variance asset at index 1"),
    # perfectly correlated columns: the target equals S, nothing is shrunk, S is singular
    (np.column_stack([BASE, BASE, 2 * BASE]), IDS3, 252, ("covariance not positive definite: pivot 0.000 at index 1",
                                                          "covariance not positive definite: pivot -0.000 at index 1")),
    (returns(5, 3), IDS3, 5e-324, None),   # a positive subnormal passes
])
def test_estimate_checks_in_order(x, ids, ppy, expected):
    if expected is None:
        assert tm.estimate_covariance(x, ids, ppy).periods_per_year == ppy
        return
    with pytest.raises(ValueError) as exc:
        tm.estimate_covariance(x, ids, ppy)
    assert str(exc.value) in ((expected,) if isinstance(expected, str) else expected)


MODEL3 = tm.estimate_covariance(returns(120, 3, seed=8), IDS3, 252.0)


@pytest.mark.parametrize("weights", [[0.5, 0.3, 0.2], [1.0, -0.5, 0.25]])
def test_contributions_decompose_the_volatility(weights):
    w, cov = np.array(weights), MODEL3.cov()
    rc, sigma = tm.compute_risk_contributions(MODEL3, w, IDS3), math.sqrt(w @ cov @ w)
    np.testing.assert_allclose(rc.marginal(), cov @ w / sigma, rtol=1e-12)
    assert (rc.contribution().sum(), rc.pct_contribution().sum()) == pytest.approx((sigma, 1.0), rel=1e-12)
    assert rc.total_vol_annualized == pytest.approx(sigma * math.sqrt(252.0), rel=1e-12)


def test_contributions_by_hand():
    # orthogonal demeaned columns of variance 0.0004: cov is diagonal, sigma = 0.02
    model = tm.estimate_covariance(np.array([[1.0, 1.0], [-1.0, 1.0], [1.0, -1.0], [-1.0, -1.0]]) * 0.02, ["a", "b"], 4.0)
    assert np.array_equal(model.cov(), np.diag([0.0004, 0.0004]))
    rc = tm.compute_risk_contributions(model, np.array([0.6, 0.8]), ["a", "b"])
    np.testing.assert_allclose(rc.marginal(), [0.012, 0.016], rtol=1e-14)
    np.testing.assert_allclose(rc.pct_contribution(), [0.36, 0.64], rtol=1e-14)
    assert rc.total_vol_annualized == pytest.approx(0.04, rel=1e-15)


# variances 1 and 0.565, covariance -0.75: for w = (a, a) the terms of w'Sigma w take opposite signs and
# overflow to +inf and -inf at a = 1e200; their sum is NaN
OVERFLOWING = tm.estimate_covariance(np.array([[1.0, -0.7], [-1.0, 0.8], [1.0, -0.8], [-1.0, 0.7]]), IDS3[:2], 252)


VARIANCE = "degenerate input: portfolio variance {} is not positive; risk decomposition undefined"


@pytest.mark.parametrize("weights, ids, expected", [
    ([0.2, 0.3, 0.5], ["a", "b", "c", "d"], "asset ids mismatch: model has 3 assets, caller supplied 4"),
    ([0.2, 0.3], ["a", "b", "c "], "asset ids mismatch: position 2: model 'c' vs caller 'c '"),   # ids first
    ([0.2, 0.3], IDS3, "shape mismatch: 2 weights for 3 assets"),
    ([0.2, NAN, INF], IDS3, "non-finite value at row 0, col 1"),
    ([0.0, 0.0, 0.0], IDS3, VARIANCE.format("0.000")),
    ([1e200, 1e200], IDS3[:2], VARIANCE.format("NaN")),   # refused, not returned as NaN
])
def test_contribution_checks_in_order(weights, ids, expected):
    model = OVERFLOWING if ids == IDS3[:2] else MODEL3
    with pytest.raises(ValueError) as exc:
        tm.compute_risk_contributions(model, np.array(weights), ids)
    assert str(exc.value) == expected


class Name(str):
    pass


def contributions(model, ids):
    r = tm.compute_risk_contributions(model, np.linspace(0.1, 0.3, 3), ids)
    return [r.marginal(), r.contribution(), r.pct_contribution(), r.total_vol_annualized]


def book(model, ids):
    r = tm.optimize_portfolio(model, np.linspace(0.002, -0.001, 3), np.zeros(3), ids,
                              tm.OptimizerConfig(4.0, 0.0, 1.0, [0] * 3, [1.0]))
    return [r.weights(), r.objective]


# Every entry that checks asset ids gives the same results, and the same mismatch texts, for ids as a list
# or tuple (read in place when they are plain ASCII str), as str subclasses or as a NumPy array (converted).
@pytest.mark.parametrize("model_ids, ids, error", [
    (IDS3, IDS3, None), (["é", "b", "日本"], ["é", "b", "日本"], None), (["a\0b", "", "c"], ["a\0b", "", "c"], None),
    (IDS3, ["a", "b", "d"], "asset ids mismatch: position 2: model 'c' vs caller 'd'"),
    (IDS3, ["a", "b"], "asset ids mismatch: model has 3 assets, caller supplied 2"),
    (IDS3, ["a", "b", "cc"], "asset ids mismatch: position 2: model 'c' vs caller 'cc'"),
    (IDS3, ["a", "b", "ç"], "asset ids mismatch: position 2: model 'c' vs caller 'ç'"),
    (["é", "b", "c"], ["e", "b", "c"], "asset ids mismatch: position 0: model 'é' vs caller 'e'"),
    (IDS3, ["a", 3, "c"], "argument 'asset_ids': 'int' object cannot be converted to 'PyString'"),  # TypeError
])
def test_asset_ids_in_any_form_give_the_same_results_and_texts(model_ids, ids, error):
    model = tm.estimate_covariance(returns(60, 3, seed=5), model_ids, 252.0)
    text = all(isinstance(i, str) for i in ids)
    forms = [list(ids), tuple(ids)] + ([[Name(i) for i in ids], np.array(ids)] if text else [])
    for call in (contributions, book):
        want = None if error else call(model, ids)
        for form in forms:
            if error:
                with pytest.raises(ValueError if text else TypeError) as exc:
                    call(model, form)
                assert str(exc.value) == error
            else:
                assert all(np.array_equal(g, w) for g, w in zip(call(model, form), want)), type(form)
