"""Cross-sectional factor panels (dates x assets) and the rank IC."""

import math

import numpy as np
import pytest

import _tidemark as tm
from analytics_reference import rank_ic as rank_ic_reference, rank_row, zscore_row

NAN, INF = float("nan"), float("inf")


def same(a, b):
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def normal(rows, cols, seed=0, nan_share=0.0):
    rng = np.random.default_rng(seed)
    x = rng.normal(0, 1, (rows, cols))
    x[rng.random((rows, cols)) < nan_share] = np.nan
    return x


def awkward():
    """Short and radix-length rows with NaN, signed-zero ties, values equal in their top bits, heavy tails."""
    rng = np.random.default_rng(7)
    ties = rng.integers(0, 40, (4, 700)).astype(float)
    ties[0, :5], ties[0, 5:10] = -0.0, 0.0
    heavy = np.exp(rng.normal(0, 5, (3, 400)))
    heavy[:, ::3] *= -1
    # long rows of one value, and of two neighbouring doubles (keys apart in the last bit only)
    close = np.where(rng.random((3, 300)) < 0.5, 1.0, np.nextafter(1.0, 2.0))
    close[0], close[1, ::7] = 5.0, np.nan
    return [normal(8, 5, 1, 0.2), normal(5, 300, 2, 0.1), ties, 1.0 + rng.random((3, 600)) * 2.0 ** -30, heavy,
            close]


PANELS = [lambda v: tm.winsorize_panel(v, 0.1), lambda v: tm.zscore_panel(v, 2), lambda v: tm.rank_panel(v, 2),
          lambda v: tm.momentum_panel(v, 2, 0)]


@pytest.mark.parametrize("call", PANELS, ids=["winsorize", "zscore", "rank", "momentum"])
def test_common_preamble(call):
    values = np.abs(normal(5, 4, 4)) + 1.0
    values[1, 0], values[2, 3], values[4, 1] = NAN, INF, -INF
    with pytest.raises(ValueError, match=r"^non-finite value at row 2, col 3$"):   # the first in row-major order
        call(values)
    values[2, 3] = values[4, 1] = NAN   # NaN passes
    before = values.copy()
    out = call(values)
    assert out.shape == values.shape and out.flags.c_contiguous and np.isnan(out[1, 0])
    assert same(values, before) and not np.shares_memory(out, values)
    assert call(np.zeros((0, 4))).shape == (0, 4) and call(np.zeros((3, 0))).shape == (3, 0)


@pytest.mark.parametrize("values", awkward())
def test_transforms_match_the_references(values):
    for pct in (0.0, 0.05, 0.49):
        expected = values.copy()
        for row in expected:
            ok = ~np.isnan(row)
            if ok.sum() > 1:
                s, k = np.sort(row[ok]), math.floor(pct * ok.sum())
                row[ok] = np.clip(row[ok], s[k], s[-1 - k])
        assert same(tm.winsorize_panel(values, pct), expected)
    ranks = tm.rank_panel(values, 3)
    assert same(ranks, np.array([rank_row(r, 3) for r in values]))
    assert np.nanmin(ranks) >= 0.0 and np.nanmax(ranks) <= 1.0
    z = tm.zscore_panel(values, 3)
    expected = np.array([zscore_row(r, 3) for r in values])
    np.testing.assert_allclose(z, expected, rtol=1e-13, atol=1e-13)
    assert np.array_equal(np.isnan(z), np.isnan(expected))


@pytest.mark.parametrize("call, expected", [
    (lambda v: tm.winsorize_panel(v, 0.5), "winsorize pct must be in [0, 0.5), got 0.5"),
    (lambda v: tm.winsorize_panel(v, NAN), "winsorize pct must be in [0, 0.5), got NaN"),
    (lambda v: tm.zscore_panel(v, 1), "min_names must be >= 2, got 1"),
    (lambda v: tm.rank_panel(v, 0), "min_names must be >= 2, got 0"),
    (lambda v: tm.momentum_panel(v, 5, 5), "need 0 <= skip < lookback, got lookback=5 skip=5"),
])
def test_parameter_checks_come_after_the_cells(call, expected):
    values = normal(4, 3)
    with pytest.raises(ValueError) as exc:
        call(values)
    assert str(exc.value) == "degenerate input: " + expected
    values[3, 1] = -INF
    with pytest.raises(ValueError) as exc:
        call(values)
    assert str(exc.value) == "non-finite value at row 3, col 1"


def test_momentum():
    prices = np.array([[100.0, 50.0], [110.0, 0.0], [121.0, 60.0], [99.0, NAN], [132.0, 40.0]])
    assert same(tm.momentum_panel(prices, 2, 1), np.array(
        [[NAN, NAN], [NAN, NAN], [110 / 100 - 1, NAN], [121 / 110 - 1, NAN], [99 / 121 - 1, NAN]]))
    assert np.isnan(tm.momentum_panel(prices, 2 ** 64 - 1, 0)).all()


def test_composite_scores():
    a, b = np.array([[1.0, 2.0], [NAN, 4.0]]), np.array([[3.0, NAN], [5.0, 8.0]])
    assert same(tm.composite_scores((a, b), np.array([3.0, 1.0])), np.array([[1.5, NAN], [NAN, 5.0]]))
    single = tm.composite_scores([np.array([[-0.0, 1.5]])], np.array([3.0]))
    assert same(single, np.array([[0.0, 1.5]])) and math.copysign(1.0, single[0, 0]) == 1.0
    factors = [normal(20, 30, s, 0.05) for s in range(3)]
    w = np.array([0.5, 0.0, 2.0])
    np.testing.assert_allclose(tm.composite_scores(factors, w), sum(f * x for f, x in zip(factors, w / 2.5)),
                               rtol=1e-13, atol=1e-15)


Z = np.zeros((2, 2))
WEIGHTS_ERROR = "degenerate input: factor weights must be non-negative and sum to a positive number, got "


@pytest.mark.parametrize("factors, weights, expected", [
    ([], np.array([]), "no factor panels supplied"),
    ([Z, Z, np.zeros((3, 2))], np.ones(2), "factor 2 shape 3x2 differs from factor 0 shape 2x2"),
    ([Z, Z], np.ones(3), "shape mismatch: 3 weights for 2 factors"),
    ([Z, np.array([[0.0, INF], [0.0, 0.0]])], np.array([1.0, -1.0]), "non-finite value at row 0, col 1"),
    ([Z, Z], np.array([1.0, -1.0]), WEIGHTS_ERROR + "[1.0, -1.0]"),
    ([Z, Z], np.array([0.0, 0.0]), WEIGHTS_ERROR + "[0.0, 0.0]"),
    ([Z, Z], np.array([1.0, NAN]), WEIGHTS_ERROR + "[1.0, NaN]"),
    ([Z, Z], np.array([1e308, 1e308]), WEIGHTS_ERROR + "[1e308, 1e308]"),
])
def test_composite_checks_in_order(factors, weights, expected):
    with pytest.raises(ValueError) as exc:
        tm.composite_scores(factors, weights)
    assert str(exc.value) == expected


def test_rank_ic_matches_the_reference():
    t, n, h = 60, 40, 3
    rng = np.random.default_rng(2)
    prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (t, n)), axis=0))
    factor = np.vstack([prices[h:] / prices[:-h] - 1, np.zeros((h, n))]) + rng.normal(0, 0.05, (t, n))
    factor[rng.random((t, n)) < 0.05] = NAN
    prices[5, 3], prices[9, 7] = 0.0, NAN
    factor[11] = np.round(factor[11], 1)   # ties
    res = tm.rank_ic(factor, prices, h, 5)
    daily, names = rank_ic_reference(factor, prices, h, 5)
    np.testing.assert_allclose(res.daily_ic(), daily, rtol=1e-12, atol=1e-15)
    ics = daily[~np.isnan(daily)]
    assert res.n_dates_scored == len(ics) == t - h and res.mean_ic > 0.5
    assert res.mean_ic == pytest.approx(ics.mean(), rel=1e-12)
    assert res.stdev_ic == pytest.approx(ics.std(ddof=1), rel=1e-12)
    assert res.t_stat == pytest.approx(ics.mean() / (ics.std(ddof=1) / math.sqrt(len(ics))), rel=1e-12)
    assert res.t_stat_deflated == res.t_stat / math.sqrt(h) and res.n_independent == len(ics) / h
    assert res.mean_names == pytest.approx(np.mean(names), rel=1e-15) and res.overlap_days == h


def test_rank_ic_by_hand():
    prices = np.array([[10.0, 0.0, 10.0, NAN, 10.0], [11.0, 12.0, 13.0, 14.0, 15.0], [9.0, 9.0, 9.0, 9.0, 9.0]])
    factor = np.array([[1.0, 2.0, 2.0, 3.0, NAN], [4.0, 3.0, 2.0, 1.0, 0.0], [5.0, 5.0, 5.0, 5.0, 5.0]])
    # date 0: only columns 0 and 2 pair up (factor 1 < 2, return 0.1 < 0.3) -> 1; date 1: returns and
    # factor both descend -> 1; date 2 is the last (no forward return)
    res = tm.rank_ic(factor, prices, 1, 2)
    assert same(res.daily_ic(), np.array([1.0, 1.0, NAN]))
    assert (res.mean_ic, res.stdev_ic, res.mean_names) == (1.0, 0.0, 3.5) and math.isnan(res.t_stat)
    assert same(tm.rank_ic(factor, prices, 1, 3).daily_ic(), np.array([NAN, 1.0, NAN]))   # skipped, not zero
    one = tm.rank_ic(factor[:2], prices[:2], 1, 2)
    assert one.n_dates_scored == 1 and math.isnan(one.stdev_ic) and math.isnan(one.t_stat)
    tied = tm.rank_ic(np.ones((3, 5)), np.abs(prices) + 1, 1, 2)   # all factor values equal: skipped
    assert tied.n_dates_scored == 0 and tied.n_independent == 0.0 and math.isnan(tied.mean_ic)
    assert math.isnan(tied.mean_names) and np.isnan(tied.daily_ic()).all()
    assert tm.rank_ic(np.ones((3, 2)), np.ones((3, 2)), 3, 2).daily_ic().shape == (3,)


@pytest.mark.parametrize("factor, prices, horizon, min_names, expected", [
    (np.ones((5, 3)), np.ones((5, 4)), 1, 2, "factor is 5x3 but prices is 5x4"),
    (np.ones((5, 3)), np.where(np.arange(15).reshape(5, 3) == 7, INF, 1.0), 0, 0, "non-finite value at row 2, col 1"),
    (np.ones((5, 3)), np.ones((5, 3)), 0, 1, "degenerate input: horizon must be >= 1"),
    (np.ones((5, 3)), np.ones((5, 3)), 2, 1, "degenerate input: min_names must be >= 2, got 1"),
])
def test_rank_ic_checks_in_order(factor, prices, horizon, min_names, expected):
    with pytest.raises(ValueError) as exc:
        tm.rank_ic(factor, prices, horizon, min_names)
    assert str(exc.value) == expected
