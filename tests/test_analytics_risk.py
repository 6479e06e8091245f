"""Risk model, risk contributions and the analytics error messages."""

import math

import numpy as np
import pytest

import _tidemark as tm
from analytics_reference import sequential_sample_covariance, shrunk_covariance

IDS3 = ["a", "b", "c"]


def returns(t, n, seed=0, scale=0.01, common=0.5):
    """Correlated returns: a common factor plus noise, with column drifts."""
    rng = np.random.default_rng(seed)
    x = rng.normal(0, 1, (t, n)) + common * rng.normal(0, 1, (t, 1))
    return x * scale + rng.normal(0, scale, (1, n))


def msg(exc_info):
    return str(exc_info.value)


# --- estimate_covariance -------------------------------------------------------

@pytest.mark.parametrize("t, n, scale, common", [
    (300, 5, 0.01, 0.5),   # ordinary daily returns
    (8, 6, 1.0, 0.2),      # T close to N: a clearly positive intensity
    (4, 7, 2.0, 0.0),      # T < N: singular sample matrix, fixed by the target
    (60, 3, 0.02, 2.0),    # strongly correlated
    (40, 4, 0.05, -0.0),
])
def test_estimate_matches_the_reference_shrinkage(t, n, scale, common):
    x = returns(t, n, seed=t * n, scale=scale, common=common)
    ref, delta = shrunk_covariance(x)
    model = tm.estimate_covariance(x, [f"s{i}" for i in range(n)], 252.0)
    assert model.shrinkage_intensity == pytest.approx(delta, rel=1e-9, abs=1e-12)
    np.testing.assert_allclose(model.cov(), ref, rtol=1e-10, atol=1e-14 * np.abs(ref).max())
    assert 0.0 <= model.shrinkage_intensity <= 1.0
    c = model.cov()
    assert c.shape == (n, n) and c.flags.c_contiguous and np.array_equal(c, c.T)
    assert np.all(np.linalg.eigvalsh(c) > 0)


def test_two_assets_keep_the_sample_matrix_exactly():
    # With two assets the target equals S up to rounding, so nothing is shrunk
    # and cov() is the sample matrix, every sum taken in period order.
    x = np.array([[0.01, 0.02], [-0.01, 0.0], [0.03, 0.04], [-0.03, -0.055], [0.002, 0.001]])
    model = tm.estimate_covariance(x, ["x", "y"], 12)
    assert model.shrinkage_intensity == 0.0
    assert np.array_equal(model.cov(), sequential_sample_covariance(x))
    # hand check of one cell: mean of column 0 is 0.0004, so S_00 = sum (x - m)^2 / 5
    assert model.cov()[0, 0] == pytest.approx(sum((v - 0.0004) ** 2 for v in x[:, 0]) / 5, rel=1e-14)


def test_any_strides_read_as_the_logical_matrix():
    x = returns(50, 4, seed=3)
    fortran = np.asfortranarray(x)
    wide = np.zeros((50, 8))
    wide[:, ::2] = x
    ids = list("abcd")
    expected = tm.estimate_covariance(x, ids, 252).cov()
    assert np.array_equal(tm.estimate_covariance(fortran, ids, 252).cov(), expected)
    assert np.array_equal(tm.estimate_covariance(wide[:, ::2], ids, 252).cov(), expected)


def test_shrinkage_cutoff_follows_the_scale_of_the_data():
    # Returns of a tenth of a basis point with fewer periods than assets: the
    # sample matrix is singular, gamma is far below an absolute 2^-52, and only
    # shrinking makes the matrix usable. The estimate must not depend on units.
    x = returns(5, 8, seed=11, scale=1.0, common=0.3)
    tiny = x * 1e-5
    ids = [str(i) for i in range(8)]
    big = tm.estimate_covariance(x, ids, 252)
    small = tm.estimate_covariance(tiny, ids, 252)
    assert small.shrinkage_intensity > 0.0
    assert small.shrinkage_intensity == pytest.approx(big.shrinkage_intensity, rel=1e-9)
    np.testing.assert_allclose(small.cov(), big.cov() * 1e-10, rtol=1e-9)
    ref, delta = shrunk_covariance(tiny)
    _, absolute_delta = shrunk_covariance(tiny, relative_cutoff=False)
    assert absolute_delta == 0.0 and delta > 0.0   # the case the relative cut-off exists for
    np.testing.assert_allclose(small.cov(), ref, rtol=1e-9)


def test_ordinary_returns_give_the_same_result_under_either_cutoff():
    x = returns(250, 6, seed=5)
    ref_rel, d_rel = shrunk_covariance(x)
    ref_abs, d_abs = shrunk_covariance(x, relative_cutoff=False)
    assert d_rel == d_abs
    model = tm.estimate_covariance(x, list("abcdef"), 252)
    np.testing.assert_allclose(model.cov(), ref_abs, rtol=1e-10)


def test_model_attributes_and_repr():
    x = returns(30, 3, seed=2)
    ids = ["INFY", "TCS", "INFY"]  # duplicates are accepted; order is all that matters
    model = tm.estimate_covariance(x, ids, 252.0)
    assert (model.n_obs, model.n_assets, model.periods_per_year) == (30, 3, 252.0)
    assert type(model.n_obs) is int and type(model.periods_per_year) is float
    assert model.asset_ids == ids and model.asset_ids is not model.asset_ids
    a = model.cov()
    a[0, 0] = 99.0
    assert model.cov()[0, 0] != 99.0  # every call copies
    assert repr(model) == (f"PyRiskModel(n_assets=3, n_obs=30, shrinkage={model.shrinkage_intensity:.4f}, "
                           "periods_per_year=252)")
    with pytest.raises(AttributeError):
        model.n_obs = 3
    with pytest.raises(TypeError, match="No constructor defined"):
        tm.RiskModel()


def test_returns_are_observations_by_assets():
    # rows are periods and columns assets (the transpose of per-asset series),
    # and the docstring says so
    x = returns(40, 3, seed=6)
    assert (tm.estimate_covariance(x, IDS3, 252).n_obs, tm.estimate_covariance(x, IDS3, 252).n_assets) == (40, 3)
    with pytest.raises(ValueError, match="40 asset_ids for 3 columns"):
        tm.estimate_covariance(x, [str(i) for i in range(40)], 252)
    assert "`returns` is `n_obs x n_assets`" in tm.estimate_covariance.__doc__
    assert "annualization is never inferred" in tm.estimate_covariance.__doc__


def test_repr_prints_periods_per_year_in_shortest_form():
    x = returns(10, 2, seed=1)
    model = tm.estimate_covariance(x, ["a", "b"], 52.5)
    assert repr(model).endswith("periods_per_year=52.5)")


@pytest.mark.parametrize("x, ids, ppy, expected", [
    # NaN at row 3, column 1 is reported even though the ids are also wrong
    (np.where(np.arange(10)[:, None] * 10 + np.arange(3) == 31, np.nan, 0.01 * np.arange(30.0).reshape(10, 3)),
     ["a"], 252, "non-finite value at row 3, col 1"),
    (np.full((4, 2), np.inf), ["a"], 0, "non-finite value at row 0, col 0"),
    (returns(5, 3), ["a", "b"], 252, "shape mismatch: 2 asset_ids for 3 columns"),
    (returns(1, 3), IDS3, 252, "degenerate input: need at least 2 observations, got 1"),
    (np.zeros((0, 3)), IDS3, 252, "degenerate input: need at least 2 observations, got 0"),
    (returns(5, 1), ["a"], 252, "degenerate input: need at least 2 assets, got 1"),
    (np.zeros((5, 0)), [], 252, "degenerate input: need at least 2 assets, got 0"),
    (returns(5, 3), IDS3, 0.0, "degenerate input: periods_per_year must be a positive finite number, got 0"),
    (returns(5, 3), IDS3, -0.0, "degenerate input: periods_per_year must be a positive finite number, got -0"),
    (returns(5, 3), IDS3, -1e-8,
     "degenerate input: periods_per_year must be a positive finite number, got -0.00000001"),
    (returns(5, 3), IDS3, float("nan"), "degenerate input: periods_per_year must be a positive finite number, got NaN"),
    (returns(5, 3), IDS3, float("inf"), "degenerate input: periods_per_year must be a positive finite number, got inf"),
    (returns(5, 3), IDS3, 1e20,
     None),  # large but finite: accepted
    (returns(5, 3), IDS3, 5e-324, None),  # positive subnormal: accepted
    (np.column_stack([returns(6, 1)[:, 0], np.full(6, 0.003), returns(6, 1, seed=9)[:, 0]]), IDS3, 252,
     "zero-variance asset at index 1"),
    # price-like column: variance far below mean^2 x 2^-52
    (np.column_stack([returns(6, 1)[:, 0], 1e6 + 1e-6 * np.arange(6)]), ["a", "b"], 252,
     "zero-variance asset at index 1"),
])
def test_estimate_checks_in_order(x, ids, ppy, expected):
    if expected is None:  # the boundary values that must pass
        assert tm.estimate_covariance(x, ids, ppy).periods_per_year == ppy
        return
    with pytest.raises(ValueError) as exc:
        tm.estimate_covariance(x, ids, ppy)
    assert type(exc.value) is ValueError and msg(exc) == expected


def test_not_positive_definite_reports_the_pivot():
    # Perfectly correlated columns: the constant-correlation target equals the
    # sample matrix, so nothing is shrunk and the singular S fails the gate at
    # the second pivot.
    base = returns(12, 1, seed=4)[:, 0]
    x = np.column_stack([base, base, 2 * base])
    _, delta = shrunk_covariance(x)
    assert delta == 0.0
    with pytest.raises(ValueError) as exc:
        tm.estimate_covariance(x, IDS3, 252)
    assert msg(exc).startswith("covariance not positive definite: pivot ")
    assert msg(exc).endswith(" at index 1")
    # the pivot is printed with three decimals
    assert msg(exc).split("pivot ")[1].split(" at")[0] in ("0.000", "-0.000")


@pytest.mark.parametrize("kwargs, argument", [
    ({"returns": np.zeros(4), "asset_ids": IDS3, "periods_per_year": 1.0}, "returns"),
    ({"returns": np.zeros((4, 3), dtype=np.float32), "asset_ids": IDS3, "periods_per_year": 1.0}, "returns"),
    ({"returns": [[0.0, 1.0]], "asset_ids": IDS3, "periods_per_year": 1.0}, "returns"),
    ({"returns": np.zeros((4, 3)), "asset_ids": "abc", "periods_per_year": 1.0}, "asset_ids"),
    ({"returns": np.zeros((4, 3)), "asset_ids": ["a", 1, "c"], "periods_per_year": 1.0}, "asset_ids"),
    ({"returns": np.zeros((4, 3)), "asset_ids": IDS3, "periods_per_year": "252"}, "periods_per_year"),
    ({"returns": np.zeros((4, 3)), "asset_ids": IDS3, "periods_per_year": None}, "periods_per_year"),
])
def test_argument_types_fail_before_any_check(kwargs, argument):
    with pytest.raises(TypeError) as exc:
        tm.estimate_covariance(**kwargs)
    assert msg(exc).startswith(f"argument '{argument}': ")


def test_str_asset_ids_are_refused_as_a_sequence():
    with pytest.raises(TypeError) as exc:
        tm.estimate_covariance(np.zeros((4, 3)), "abc", 252)
    assert msg(exc) == "argument 'asset_ids': Can't extract `str` to `Vec`"


# --- compute_risk_contributions ----------------------------------------------------

@pytest.fixture(scope="module")
def model3():
    return tm.estimate_covariance(returns(120, 3, seed=8), IDS3, 252.0)


@pytest.mark.parametrize("weights", [
    [0.5, 0.3, 0.2], [1.0, -0.5, 0.25], [3.0, 2.0, 0.0], [-0.1, -0.2, -0.7], [1e-9, 0.0, 0.0],
])
def test_contributions_decompose_the_volatility(model3, weights):
    w = np.array(weights)
    rc = tm.compute_risk_contributions(model3, w, IDS3)
    cov = model3.cov()
    sigma = math.sqrt(w @ cov @ w)
    np.testing.assert_allclose(rc.marginal(), cov @ w / sigma, rtol=1e-12)
    np.testing.assert_allclose(rc.contribution(), w * (cov @ w) / sigma, rtol=1e-12, atol=1e-300)
    assert rc.contribution().sum() == pytest.approx(sigma, rel=1e-12)
    assert rc.pct_contribution().sum() == pytest.approx(1.0, rel=1e-12)
    assert rc.total_vol_annualized == pytest.approx(sigma * math.sqrt(252.0), rel=1e-12)
    for arr in (rc.marginal(), rc.contribution(), rc.pct_contribution()):
        assert arr.dtype == np.float64 and arr.shape == (3,)
    assert rc.marginal() is not rc.marginal()


def test_contributions_by_hand():
    # Two uncorrelated-by-construction columns are shrunk at most towards their
    # own (zero) average correlation; with exactly orthogonal demeaned columns
    # S is diagonal and stays so: cov = diag(v1, v2).
    x = np.array([[1.0, 1.0], [-1.0, 1.0], [1.0, -1.0], [-1.0, -1.0]]) * 0.02
    model = tm.estimate_covariance(x, ["a", "b"], 4.0)
    assert np.array_equal(model.cov(), np.diag([0.0004, 0.0004]))
    rc = tm.compute_risk_contributions(model, np.array([0.6, 0.8]), ["a", "b"])
    # sigma^2 = 0.0004 (0.36 + 0.64) = 0.0004, sigma = 0.02
    np.testing.assert_allclose(rc.marginal(), [0.0004 * 0.6 / 0.02, 0.0004 * 0.8 / 0.02], rtol=1e-15)
    np.testing.assert_allclose(rc.pct_contribution(), [0.36, 0.64], rtol=1e-14)
    assert rc.total_vol_annualized == pytest.approx(0.04, rel=1e-15)


@pytest.mark.parametrize("weights, ids, expected", [
    ([0.2, 0.3, 0.5], ["a", "b", "c", "d"], "asset ids mismatch: model has 3 assets, caller supplied 4"),
    ([0.2, 0.3, 0.5], ["a", "c", "b"], "asset ids mismatch: position 1: model 'b' vs caller 'c'"),
    ([0.2, 0.3, 0.5], ["a", "b", "C"], "asset ids mismatch: position 2: model 'c' vs caller 'C'"),
    ([0.2, 0.3, 0.5], ["a", "b", "c "], "asset ids mismatch: position 2: model 'c' vs caller 'c '"),
    # ids are checked before the weights
    ([0.2, 0.3], ["x", "b", "c"], "asset ids mismatch: position 0: model 'a' vs caller 'x'"),
    ([0.2, 0.3], IDS3, "shape mismatch: 2 weights for 3 assets"),
    ([0.2, np.nan, np.inf], IDS3, "non-finite value at row 0, col 1"),
    ([0.0, 0.0, 0.0], IDS3, "degenerate input: portfolio variance 0.000 is not positive; risk decomposition undefined"),
])
def test_contribution_checks_in_order(model3, weights, ids, expected):
    with pytest.raises(ValueError) as exc:
        tm.compute_risk_contributions(model3, np.array(weights), ids)
    assert msg(exc) == expected


def test_ids_are_compared_by_position_never_reordered():
    model = tm.estimate_covariance(returns(20, 2, seed=3), ["b", "a"], 252)
    with pytest.raises(ValueError) as exc:
        tm.compute_risk_contributions(model, np.array([0.5, 0.5]), ["a", "b"])
    assert msg(exc) == "asset ids mismatch: position 0: model 'b' vs caller 'a'"
    with pytest.raises(ValueError) as exc:
        tm.compute_risk_contributions(model, np.array([0.5, 0.5]), ["b", "a", "c"])
    assert msg(exc) == "asset ids mismatch: model has 2 assets, caller supplied 3"


def test_overflowing_variance_is_refused_not_returned_as_nan():
    # Column variances 4 and 1 with covariance -1.5: for w = (a, a) the two
    # terms of w'Sigma w have opposite signs, and at a = 1e200 they overflow to
    # +inf and -inf, whose sum is NaN. A NaN decomposition is not a result.
    rng = np.random.default_rng(1)
    z = rng.normal(size=(4000, 2))
    z -= z.mean(axis=0)
    z = z @ np.linalg.inv(np.linalg.cholesky(z.T @ z / 4000)).T          # sample-whitened
    x = z @ np.linalg.cholesky(np.array([[4.0, -1.5], [-1.5, 1.0]])).T
    model = tm.estimate_covariance(x, ["a", "b"], 252)
    cov = model.cov()
    assert cov[0, 0] + cov[0, 1] > 0 > cov[1, 0] + cov[1, 1]
    with pytest.raises(ValueError) as exc:
        tm.compute_risk_contributions(model, np.array([1e200, 1e200]), ["a", "b"])
    assert msg(exc) == "degenerate input: portfolio variance NaN is not positive; risk decomposition undefined"


@pytest.mark.parametrize("args, argument", [
    ((None, np.ones(3), IDS3), "model"),
    (("model", np.ones(3), IDS3), "model"),
    ((0, np.ones((3, 1)), IDS3), "model"),
])
def test_contribution_argument_types(args, argument):
    with pytest.raises(TypeError) as exc:
        tm.compute_risk_contributions(*args)
    assert msg(exc).startswith(f"argument '{argument}': ")


def test_contribution_argument_types_after_the_model(model3):
    with pytest.raises(TypeError) as exc:
        tm.compute_risk_contributions(model3, np.ones(3, dtype=np.int64), IDS3)
    assert msg(exc).startswith("argument 'weights': ")
    with pytest.raises(TypeError) as exc:
        tm.compute_risk_contributions(model3, np.ones(3), "abc")
    assert msg(exc) == "argument 'asset_ids': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError, match="No constructor defined"):
        tm.RiskContributions()
