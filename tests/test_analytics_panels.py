"""Cross-sectional factor panels (dates x assets) and the rank IC."""

import math

import numpy as np
import pytest

import _tidemark as tm
from analytics_reference import average_positions, rank_ic as rank_ic_reference, rank_row

NAN, INF = float("nan"), float("inf")


def msg(exc_info):
    return str(exc_info.value)


def panel(rows, cols, seed=0, nan_share=0.0):
    rng = np.random.default_rng(seed)
    x = rng.normal(0, 1, (rows, cols))
    x[rng.random((rows, cols)) < nan_share] = np.nan
    return x


def same(a, b):
    """Equal values and equal NaN positions."""
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


# Rows long enough for the radix path, short ones, rows of ties and of values
# that differ only in their last bits (which the radix key cannot tell apart).
def awkward_panels():
    rng = np.random.default_rng(7)
    ties = rng.integers(0, 40, (6, 700)).astype(float)
    ties[0, :5] = -0.0
    ties[0, 5:10] = 0.0
    close = 1.0 + rng.random((3, 600)) * 2.0 ** -30
    heavy = np.exp(rng.normal(0, 5, (4, 400)))
    heavy[:, ::3] *= -1
    return [
        pytest.param(panel(8, 5, seed=1, nan_share=0.2), id="short-rows-with-nan"),
        pytest.param(panel(5, 300, seed=2, nan_share=0.1), id="radix-rows-with-nan"),
        pytest.param(ties, id="ties-and-signed-zeros"),
        pytest.param(close, id="values-equal-in-top-bits"),
        pytest.param(heavy, id="heavy-tails-both-signs"),
        pytest.param(panel(3, 25, seed=3), id="just-above-insertion"),
    ]


# --- common preamble -------------------------------------------------------------

PANEL_CALLS = [
    pytest.param(lambda v: tm.winsorize_panel(v, 0.1), id="winsorize"),
    pytest.param(lambda v: tm.zscore_panel(v, 2), id="zscore"),
    pytest.param(lambda v: tm.rank_panel(v, 2), id="rank"),
    pytest.param(lambda v: tm.momentum_panel(v, 2, 0), id="momentum"),
]


@pytest.mark.parametrize("call", PANEL_CALLS)
def test_an_infinity_is_refused_with_its_cell_and_nan_passes(call):
    values = np.abs(panel(5, 4, seed=4)) + 1.0
    values[1, 0] = np.nan
    values[2, 3] = INF
    values[4, 1] = -INF
    with pytest.raises(ValueError) as exc:
        call(values)
    assert msg(exc) == "non-finite value at row 2, col 3"
    values[2, 3] = np.nan
    with pytest.raises(ValueError) as exc:
        call(values)
    assert msg(exc) == "non-finite value at row 4, col 1"
    values[4, 1] = np.nan
    out = call(values)
    assert out.shape == values.shape and out.dtype == np.float64 and out.flags.c_contiguous
    assert np.isnan(out[1, 0]) and np.isnan(out[2, 3])


@pytest.mark.parametrize("call", PANEL_CALLS)
def test_the_input_is_copied_not_changed(call):
    values = np.abs(panel(4, 6, seed=5)) + 1.0
    before = values.copy()
    out = call(values)
    assert np.array_equal(values, before) and not np.shares_memory(out, values)


@pytest.mark.parametrize("shape", [(0, 4), (3, 0), (0, 0)])
@pytest.mark.parametrize("call", PANEL_CALLS)
def test_empty_panels_come_back_empty(call, shape):
    out = call(np.zeros(shape))
    assert out.shape == shape


@pytest.mark.parametrize("call, argument", [
    (lambda: tm.winsorize_panel(np.zeros(3), 0.1), "values"),
    (lambda: tm.zscore_panel(np.zeros((2, 2), dtype=np.float32), 2), "values"),
    (lambda: tm.rank_panel(np.zeros((2, 2)), 2.0), "min_names"),
    (lambda: tm.momentum_panel(np.zeros((2, 2)), 2, "1"), "skip"),
    (lambda: tm.winsorize_panel(np.zeros((2, 2)), "0.1"), "pct"),
])
def test_argument_types(call, argument):
    with pytest.raises(TypeError) as exc:
        call()
    assert msg(exc).startswith(f"argument '{argument}': ")


@pytest.mark.parametrize("call", [
    lambda: tm.zscore_panel(np.zeros((2, 2)), -1),
    lambda: tm.rank_panel(np.zeros((2, 2)), -3),
    lambda: tm.momentum_panel(np.zeros((2, 2)), -1, 0),
    lambda: tm.momentum_panel(np.zeros((2, 2)), 5, 2 ** 64),
])
def test_negative_or_huge_counts_overflow(call):
    with pytest.raises(OverflowError):
        call()


# --- winsorize_panel ----------------------------------------------------------------

def winsorize_reference(values, pct):
    out = values.copy()
    for row in out:
        ok = ~np.isnan(row)
        m = ok.sum()
        if m <= 1:
            continue
        s = np.sort(row[ok])
        k = math.floor(pct * m)
        row[ok] = np.minimum(np.maximum(row[ok], s[k]), s[m - 1 - k])
    return out


def test_winsorize_by_hand():
    values = np.array([[1.0, 2.0, 3.0, 4.0, 100.0],
                       [NAN, 5.0, NAN, NAN, NAN],        # one finite value: unchanged
                       [-3.0, NAN, 8.0, 0.5, 0.5]])
    out = tm.winsorize_panel(values, 0.2)
    # row 0: k = floor(0.2 x 5) = 1 -> [2, 4]; row 2: m = 4, k = 0 -> unchanged
    assert same(out, np.array([[2.0, 2.0, 3.0, 4.0, 4.0], [NAN, 5.0, NAN, NAN, NAN], [-3.0, NAN, 8.0, 0.5, 0.5]]))
    assert same(tm.winsorize_panel(values, 0.25), np.array(
        [[2.0, 2.0, 3.0, 4.0, 4.0], [NAN, 5.0, NAN, NAN, NAN], [0.5, NAN, 0.5, 0.5, 0.5]]))


@pytest.mark.parametrize("values", awkward_panels())
@pytest.mark.parametrize("pct", [0.0, 0.05, 0.2, 0.49])
def test_winsorize_matches_sort_and_clip(values, pct):
    out = tm.winsorize_panel(values, pct)
    assert same(out, winsorize_reference(values, pct))


@pytest.mark.parametrize("pct, shown", [
    (0.5, "0.5"), (-0.01, "-0.01"), (NAN, "NaN"), (INF, "inf"), (1e-20 - 1e-19, "-0.00000000000000000009"),
])
def test_winsorize_pct_range(pct, shown):
    with pytest.raises(ValueError) as exc:
        tm.winsorize_panel(panel(2, 3), pct)
    assert msg(exc) == f"degenerate input: winsorize pct must be in [0, 0.5), got {shown}"


def test_winsorize_checks_cells_before_pct():
    values = panel(3, 3)
    values[0, 2] = INF
    with pytest.raises(ValueError, match="non-finite value at row 0, col 2"):
        tm.winsorize_panel(values, 0.7)


# --- zscore_panel ----------------------------------------------------------------------

def test_zscore_by_hand():
    values = np.array([[1.0, 2.0, 3.0, NAN],   # mean 2, population sd sqrt(2/3)
                       [4.0, 4.0, 4.0, 4.0],   # zero variance
                       [NAN, 7.0, NAN, NAN],   # one name
                       [-1.0, 1.0, NAN, NAN]])
    out = tm.zscore_panel(values, 2)
    sd = math.sqrt(2.0 / 3.0)
    np.testing.assert_allclose(out[0, :3], [-1 / sd, 0.0, 1 / sd], rtol=1e-15)
    assert np.isnan(out[0, 3]) and np.isnan(out[1]).all() and np.isnan(out[2]).all()
    np.testing.assert_allclose(out[3, :2], [-1.0, 1.0], rtol=1e-15)
    # a row needs min_names finite entries
    assert np.isnan(tm.zscore_panel(values, 3)[3]).all()
    assert not np.isnan(tm.zscore_panel(values, 3)[0, 0])


def zscore_reference(values, min_names):
    """Mean and population variance summed left to right over the finite cells."""
    out = np.full(values.shape, np.nan)
    for t, row in enumerate(values.tolist()):
        cells = [(j, x) for j, x in enumerate(row) if not math.isnan(x)]
        if len(cells) < min_names:
            continue
        total = -0.0
        for _, x in cells:
            total += x
        mean = total / len(cells)
        ss = 0.0
        for _, x in cells:
            ss += (x - mean) * (x - mean)
        var = ss / len(cells)
        if var > 0:
            for j, x in cells:
                out[t, j] = (x - mean) / math.sqrt(var)
    return out


@pytest.mark.parametrize("values", awkward_panels())
def test_zscore_matches_the_sequential_reference(values):
    out = tm.zscore_panel(values, 3)
    expected = zscore_reference(values, 3)
    np.testing.assert_allclose(out, expected, rtol=1e-13, atol=1e-13)
    assert np.array_equal(np.isnan(out), np.isnan(expected))
    # and NumPy agrees on ordinary data
    if values.shape == (5, 300):
        np.testing.assert_allclose(out, (values - np.nanmean(values, axis=1, keepdims=True)) /
                                   np.nanstd(values, axis=1, keepdims=True), rtol=1e-10)


@pytest.mark.parametrize("call", [tm.zscore_panel, tm.rank_panel])
@pytest.mark.parametrize("min_names", [0, 1])
def test_min_names_below_two_is_refused(call, min_names):
    with pytest.raises(ValueError) as exc:
        call(panel(2, 3), min_names)
    assert msg(exc) == f"degenerate input: min_names must be >= 2, got {min_names}"


# --- rank_panel ---------------------------------------------------------------------------

def test_rank_by_hand():
    values = np.array([[3.0, 1.0, 2.0, 2.0],
                       [NAN, 5.0, 5.0, 1.0],
                       [NAN, NAN, 9.0, NAN]])
    out = tm.rank_panel(values, 2)
    # row 1: m = 3 (NaN not counted): 1 -> 0, the tied 5s share positions 1 and 2 -> 1.5 / 2
    assert same(out, np.array([[1.0, 0.0, 0.5, 0.5], [NAN, 0.75, 0.75, 0.0], [NAN, NAN, NAN, NAN]]))


@pytest.mark.parametrize("values", awkward_panels())
def test_rank_matches_counting_reference(values):
    out = tm.rank_panel(values, 2)
    expected = np.array([rank_row(row, 2) for row in values])
    assert same(out, expected)
    finite = out[~np.isnan(out)]
    assert finite.min() >= 0.0 and finite.max() <= 1.0
    for row, raw in zip(out, values):
        ok = ~np.isnan(raw)
        # a unique smallest value ranks 0 and a unique largest 1
        if ok.sum() >= 2 and (raw[ok] == raw[ok].min()).sum() == 1:
            assert row[np.nanargmin(raw)] == 0.0
        if ok.sum() >= 2 and (raw[ok] == raw[ok].max()).sum() == 1:
            assert row[np.nanargmax(raw)] == 1.0


def test_rank_rows_below_min_names_are_all_nan():
    values = panel(4, 6, seed=9, nan_share=0.4)
    out = tm.rank_panel(values, 4)
    counts = (~np.isnan(values)).sum(axis=1)
    for row, count in zip(out, counts):
        assert np.isnan(row).all() == (count < 4)


# --- momentum_panel -------------------------------------------------------------------------

def test_momentum_by_hand():
    prices = np.array([[100.0, 50.0], [110.0, 0.0], [121.0, 60.0], [99.0, NAN], [132.0, 40.0]])
    out = tm.momentum_panel(prices, 2, 1)
    # t = 2: p[1] / p[0] - 1; t = 3: p[2] / p[1] - 1; t = 4: p[3] / p[2] - 1
    expected = np.array([[NAN, NAN], [NAN, NAN], [110.0 / 100.0 - 1, NAN], [121.0 / 110.0 - 1, NAN],
                         [99.0 / 121.0 - 1, NAN]])
    assert same(out, expected)
    # skip 0 reads the current date
    assert same(tm.momentum_panel(prices, 1, 0)[1:2], np.array([[110.0 / 100.0 - 1, NAN]]))


def test_momentum_twelve_minus_one():
    rng = np.random.default_rng(12)
    prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, (300, 4)), axis=0))
    prices[260, 2] = 0.0
    prices[270, 1] = NAN
    out = tm.momentum_panel(prices, 252, 21)
    assert np.isnan(out[:252]).all()
    with np.errstate(invalid="ignore"):
        expected = prices[231:279] / prices[:48] - 1.0
    expected[~(prices[231:279] > 0) | ~(prices[:48] > 0)] = np.nan
    assert same(out[252:], expected)
    assert np.isnan(out[281, 2]) and np.isnan(out[291, 1]) and np.isnan(out[270 + 21, 1])


@pytest.mark.parametrize("lookback, skip", [(5, 5), (3, 4), (0, 0)])
def test_momentum_needs_skip_below_lookback(lookback, skip):
    with pytest.raises(ValueError) as exc:
        tm.momentum_panel(np.ones((10, 2)), lookback, skip)
    assert msg(exc) == f"degenerate input: need 0 <= skip < lookback, got lookback={lookback} skip={skip}"


def test_momentum_lookback_beyond_the_panel_is_all_nan():
    assert np.isnan(tm.momentum_panel(np.ones((10, 2)), 10, 0)).all()
    assert np.isnan(tm.momentum_panel(np.ones((10, 2)), 2 ** 64 - 1, 2 ** 63)).all()


# --- composite_scores --------------------------------------------------------------------------

def test_composite_by_hand():
    a = np.array([[1.0, 2.0], [NAN, 4.0]])
    b = np.array([[3.0, NAN], [5.0, 8.0]])
    out = tm.composite_scores([a, b], np.array([2.0, 2.0]))
    assert same(out, np.array([[2.0, NAN], [NAN, 6.0]]))
    out = tm.composite_scores((a, b), np.array([3.0, 1.0]))
    assert same(out, np.array([[1.5, NAN], [NAN, 5.0]]))


def test_composite_single_factor_returns_it_with_positive_zero():
    f = np.array([[-0.0, 1.5], [NAN, -2.0]])
    out = tm.composite_scores([f], np.array([3.0]))
    assert same(out, f)
    assert not math.copysign(1.0, out[0, 0]) < 0


def test_composite_matches_weighted_sum():
    factors = [panel(20, 30, seed=s, nan_share=0.05) for s in range(4)]
    w = np.array([0.5, 0.0, 2.0, 1.5])
    out = tm.composite_scores(factors, w)
    v = w / w.sum()
    expected = sum(f * vk for f, vk in zip(factors, v))
    np.testing.assert_allclose(out, expected, rtol=1e-13, atol=1e-15)
    assert np.array_equal(np.isnan(out), np.isnan(expected))
    assert not np.shares_memory(out, factors[0])


@pytest.mark.parametrize("factors, weights, expected", [
    ([], np.array([]), "no factor panels supplied"),
    ([np.zeros((2, 2)), np.zeros((2, 3))], np.ones(2), "factor 1 shape 2x3 differs from factor 0 shape 2x2"),
    ([np.zeros((2, 2)), np.zeros((2, 2)), np.zeros((3, 2))], np.ones(3),
     "factor 2 shape 3x2 differs from factor 0 shape 2x2"),
    ([np.zeros((2, 2)), np.zeros((2, 2))], np.ones(3), "shape mismatch: 3 weights for 2 factors"),
    ([np.zeros((2, 2)), np.array([[0.0, INF], [0.0, 0.0]])], np.array([1.0, -1.0]),
     "non-finite value at row 0, col 1"),
    ([np.zeros((2, 2)), np.zeros((2, 2))], np.array([1.0, -1.0]),
     "degenerate input: factor weights must be non-negative and sum to a positive number, got [1.0, -1.0]"),
    ([np.zeros((2, 2)), np.zeros((2, 2))], np.array([0.0, 0.0]),
     "degenerate input: factor weights must be non-negative and sum to a positive number, got [0.0, 0.0]"),
    ([np.zeros((2, 2)), np.zeros((2, 2))], np.array([1.0, NAN]),
     "degenerate input: factor weights must be non-negative and sum to a positive number, got [1.0, NaN]"),
    ([np.zeros((2, 2)), np.zeros((2, 2))], np.array([1e308, 1e308]),
     "degenerate input: factor weights must be non-negative and sum to a positive number, got [1e308, 1e308]"),
    ([np.zeros((2, 2))], np.array([1e-5]), None),  # tiny but positive: accepted
])
def test_composite_checks_in_order(factors, weights, expected):
    if expected is None:  # the boundary case that must pass
        assert same(tm.composite_scores(factors, weights), np.zeros((2, 2)))
        return
    with pytest.raises(ValueError) as exc:
        tm.composite_scores(factors, weights)
    assert type(exc.value) is ValueError and msg(exc) == expected


@pytest.mark.parametrize("factors, weights, expected", [
    ("ab", np.ones(2), "argument 'factors': Can't extract `str` to `Vec`"),
    (5, np.ones(1), "argument 'factors': "),
    ([np.zeros(3)], np.ones(1), "argument 'factors': "),
    ([np.zeros((2, 2)), "x"], np.ones(2), "argument 'factors': "),
    ([np.zeros((2, 2))], [1.0], "argument 'weights': "),
    ([np.zeros((2, 2))], np.ones((1, 1)), "argument 'weights': "),
])
def test_composite_argument_types(factors, weights, expected):
    with pytest.raises(TypeError) as exc:
        tm.composite_scores(factors, weights)
    assert msg(exc).startswith(expected)


# --- rank_ic -------------------------------------------------------------------------------------

def prices_panel(t, n, seed):
    rng = np.random.default_rng(seed)
    return 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (t, n)), axis=0))


def test_rank_ic_matches_the_reference():
    t, n, h = 60, 40, 3
    prices = prices_panel(t, n, 1)
    rng = np.random.default_rng(2)
    forward = np.vstack([prices[h:] / prices[:-h] - 1, np.zeros((h, n))])
    factor = forward + rng.normal(0, 0.05, (t, n))    # a noisy predictor
    factor[rng.random((t, n)) < 0.05] = np.nan
    prices[5, 3] = 0.0
    prices[9, 7] = np.nan
    factor[11] = np.round(factor[11], 1)              # ties
    res = tm.rank_ic(factor, prices, h, 5)
    daily, names = rank_ic_reference(factor, prices, h, 5)
    np.testing.assert_allclose(res.daily_ic(), daily, rtol=1e-12, atol=1e-15)
    assert np.array_equal(np.isnan(res.daily_ic()), np.isnan(daily))
    ics = daily[~np.isnan(daily)]
    n_scored = len(ics)
    assert res.n_dates_scored == n_scored == t - h
    assert res.mean_ic == pytest.approx(ics.mean(), rel=1e-12)
    assert res.stdev_ic == pytest.approx(ics.std(ddof=1), rel=1e-12)
    assert res.t_stat == pytest.approx(ics.mean() / (ics.std(ddof=1) / math.sqrt(n_scored)), rel=1e-12)
    assert res.t_stat_deflated == pytest.approx(res.t_stat / math.sqrt(h), rel=1e-15)
    assert res.n_independent == n_scored / h and res.overlap_days == h
    assert res.mean_names == pytest.approx(np.mean(names), rel=1e-15)
    assert res.mean_ic > 0.5  # the factor does predict


def test_rank_ic_by_hand_and_skipped_dates():
    prices = np.array([[10.0, 10.0, 10.0, 10.0],
                       [11.0, 12.0, 13.0, 14.0],    # date 0 returns rise with the column
                       [11.0, 11.0, 11.0, 11.0],
                       [10.0, 10.0, 10.0, 10.0]])
    factor = np.array([[1.0, 2.0, 3.0, 4.0],        # same order -> 1
                       [4.0, 3.0, 2.0, 1.0],        # returns 11/12-1 > ... reversed order -> +1
                       [5.0, 5.0, 5.0, 5.0],        # all factor values tied -> skipped
                       [1.0, 2.0, 3.0, 4.0]])
    res = tm.rank_ic(factor, prices, 1, 2)
    # date 1: returns 11/11-1 = 0, 11/12-1, 11/13-1, 11/14-1: descending; factor descending too
    assert same(res.daily_ic(), np.array([1.0, 1.0, NAN, NAN]))
    assert res.n_dates_scored == 2 and res.mean_ic == 1.0 and res.stdev_ic == 0.0
    assert math.isnan(res.t_stat) and math.isnan(res.t_stat_deflated)   # zero deviation: undefined
    assert res.mean_names == 4.0 and res.n_independent == 2.0
    # reversed factor -> -1
    assert tm.rank_ic(-factor, prices, 1, 2).daily_ic()[0] == -1.0


def test_rank_ic_leaves_out_unusable_assets():
    prices = np.array([[10.0, 0.0, 10.0, NAN, 10.0], [11.0, 12.0, 12.0, 13.0, 15.0]])
    factor = np.array([[1.0, 2.0, 2.0, 3.0, NAN], [0.0, 0.0, 0.0, 0.0, 0.0]])
    # only columns 0 and 2 pair up: factor 1 < 2 and return 0.1 < 0.2
    res = tm.rank_ic(factor, prices, 1, 2)
    assert res.daily_ic()[0] == 1.0 and res.mean_names == 2.0
    # with min_names 3 the date is skipped, never zero-filled
    res = tm.rank_ic(factor, prices, 1, 3)
    assert res.n_dates_scored == 0 and np.isnan(res.daily_ic()).all()


def test_rank_ic_with_one_scored_date():
    prices = np.array([[1.0, 2.0, 3.0], [2.0, 3.0, 3.5]])
    res = tm.rank_ic(np.array([[3.0, 2.0, 1.0], [0.0, 0.0, 0.0]]), prices, 1, 2)
    assert res.n_dates_scored == 1 and res.mean_ic == 1.0
    assert math.isnan(res.stdev_ic) and math.isnan(res.t_stat) and math.isnan(res.t_stat_deflated)


@pytest.mark.parametrize("t, horizon", [(3, 3), (2, 5), (0, 1)])
def test_rank_ic_without_a_scorable_date(t, horizon):
    res = tm.rank_ic(np.ones((t, 3)), np.ones((t, 3)), horizon, 2)
    assert res.n_dates_scored == 0 and res.n_independent == 0.0 and res.overlap_days == horizon
    for v in (res.mean_ic, res.stdev_ic, res.t_stat, res.t_stat_deflated, res.mean_names):
        assert math.isnan(v)
    assert res.daily_ic().shape == (t,) and np.isnan(res.daily_ic()).all()


def test_rank_ic_deflates_for_overlap():
    t, n, h = 105, 30, 5
    prices = prices_panel(t, n, 4)
    factor = np.random.default_rng(5).normal(size=(t, n))
    res = tm.rank_ic(factor, prices, h, 10)
    assert res.n_dates_scored == 100 and res.n_independent == 20.0
    assert res.t_stat_deflated == res.t_stat / math.sqrt(5)
    assert type(res.n_dates_scored) is int and type(res.overlap_days) is int


@pytest.mark.parametrize("factor, prices, horizon, min_names, expected", [
    (np.ones((5, 3)), np.ones((5, 4)), 1, 2, "factor is 5x3 but prices is 5x4"),
    (np.ones((4, 3)), np.ones((5, 3)), 0, 0, "factor is 4x3 but prices is 5x3"),
    (np.ones((5, 3)), np.where(np.arange(15).reshape(5, 3) == 7, INF, 1.0), 1, 2,
     "non-finite value at row 2, col 1"),
    (np.where(np.arange(15).reshape(5, 3) == 14, -INF, 1.0), np.where(np.arange(15).reshape(5, 3) == 7, INF, 1.0),
     0, 0, "non-finite value at row 4, col 2"),
    (np.ones((5, 3)), np.ones((5, 3)), 0, 1, "degenerate input: horizon must be >= 1"),
    (np.ones((5, 3)), np.ones((5, 3)), 2, 1, "degenerate input: min_names must be >= 2, got 1"),
])
def test_rank_ic_checks_in_order(factor, prices, horizon, min_names, expected):
    with pytest.raises(ValueError) as exc:
        tm.rank_ic(factor, prices, horizon, min_names)
    assert type(exc.value) is ValueError and msg(exc) == expected


def test_rank_ic_result_is_read_only():
    res = tm.rank_ic(np.ones((3, 3)), np.ones((3, 3)), 1, 2)
    with pytest.raises(AttributeError):
        res.mean_ic = 0.0
    with pytest.raises(TypeError, match="No constructor defined"):
        tm.RankIC()
    assert type(tm.RankIC.t_stat_deflated.__doc__) is str
    assert tm.RankIC.t_stat_deflated.__doc__ == "Overlap-corrected t-stat. Decide on THIS, not `t_stat`."
    a = res.daily_ic()
    a[:] = 5.0
    assert np.isnan(res.daily_ic()).all()


def test_average_positions_reference_is_sane():
    # the counting reference itself, on a hand case
    assert list(average_positions([3.0, 1.0, 2.0, 2.0])) == [3.0, 0.0, 1.5, 1.5]
