"""The twelve batch indicators: hand-worked values, the rules on long random series, argument checks."""

import math

import numpy as np
import pytest

import _tidemark as tm
import indicator_reference as ref
from portfolio_util import f64 as F

NAN = math.nan
INF = math.inf


def same(got, want):
    """Equal value for value, NaN where NaN is expected."""
    np.testing.assert_array_equal(np.asarray(got), np.asarray(want, dtype=np.asarray(got).dtype))


def as_tuple(out):
    return out if isinstance(out, tuple) else (out,)


def test_rules_the_random_series_never_reach():
    # a flat window and one without numbers read 50
    for got in tm.stochastic(F(NAN, NAN, 2, 2), F(NAN, NAN, 2, 2), F(1, 1, 2, 2), 2, 1):
        same(got, [NAN, 50, 50, 50])
    # a NaN width spreads to the bands; a bar without volume has no price
    for got, want in zip(tm.bollinger_bands(F(1, 3), 2, NAN), ([NAN, NAN], [NAN, 2], [NAN, NAN])):
        same(got, want)
    same(tm.vwap(F(2, 4, 6), F(0, 2, 4), F(1, 3, 5), F(0, 1, 3)), [NAN, 3.0, 4.5])
    # a flat stretch collapses the bands exactly
    upper, middle, lower = tm.bollinger_bands(np.concatenate([np.linspace(100.0, 140.0, 60), np.full(60, 125.0)]), 20)
    assert (upper[-30:] == 125.0).all() and (middle[-30:] == 125.0).all() and (lower[-30:] == 125.0).all()


EXACT = {  # engine call and the rule, on (high, low, close, volume) and a period
    "sma": lambda h, l, c, v, p: (tm.sma(c, p), ref.sma(c, p)),
    "ema": lambda h, l, c, v, p: (tm.ema(c, p), ref.ema(c, p)),
    "rsi": lambda h, l, c, v, p: (tm.rsi(c, p), ref.rsi(c, p)),
    "macd": lambda h, l, c, v, p: (tm.macd(c, p, 2 * p + 1, 5), ref.macd(c, p, 2 * p + 1, 5)),
    "atr": lambda h, l, c, v, p: (tm.atr(h, l, c, p), ref.atr(h, l, c, p)),
    "adx": lambda h, l, c, v, p: (tm.adx(h, l, c, p), ref.adx(h, l, c, p)),
    "vwap": lambda h, l, c, v, p: (tm.vwap(h, l, c, v), ref.vwap(h, l, c, v)),
    "supertrend": lambda h, l, c, v, p: (tm.supertrend(h, l, c, p, 2.5), ref.supertrend(h, l, c, p, 2.5)),
    "rolling_min": lambda h, l, c, v, p: (tm.rolling_min(c, p), ref.rolling_extreme(c, p, False)),
    "rolling_max": lambda h, l, c, v, p: (tm.rolling_max(c, p), ref.rolling_extreme(c, p, True)),
    "stochastic_k": lambda h, l, c, v, p: (tm.stochastic(h, l, c, p, 3)[0], ref.stochastic(h, l, c, p, 3)[0]),
    "stochastic_d": lambda h, l, c, v, p: (tm.stochastic(h, l, c, p, p + 1)[1], ref.stochastic(h, l, c, p, p + 1)[1]),
    "bollinger_middle": lambda h, l, c, v, p: (tm.bollinger_bands(c, p, 2.0)[1], ref.sma(c, p)),
}
ROUNDED = {  # running sums: equal but for rounding
    "bollinger": lambda h, l, c, v, p: (tm.bollinger_bands(c, p, 2.0), ref.bollinger(list(c), p, 2.0)),
}


def agree(name, got, want):
    for g, w in zip(as_tuple(got), want if isinstance(want, tuple) else (want,), strict=True):
        if name in EXACT:
            same(g, w)
        else:
            np.testing.assert_allclose(g, w, rtol=1e-12, atol=1e-12)  # NaN where NaN is expected


GAPS = pytest.mark.parametrize("nan_gaps", [False, True], ids=["clean", "nan_gaps"])


@GAPS
@pytest.mark.parametrize("period", [1, 3, 14, 57])
@pytest.mark.parametrize("name", [*EXACT, *ROUNDED])
def test_kernels_keep_the_stated_order_of_operations(name, period, nan_gaps):
    cols = ref.market(1500, seed=period, nan_gaps=nan_gaps)
    cols[2][700:703] += 1e4  # a spike entering and leaving the running sums (it drives %K far above 100)
    agree(name, *{**EXACT, **ROUNDED}[name](*cols, period))


@pytest.mark.parametrize("name", [*EXACT, *ROUNDED])
def test_warm_up_edges_on_every_short_length(name):
    for p in (1, 2, 3):
        for n in range(20):
            cols = ref.market(n, seed=n)
            before = [a.copy() for a in cols]
            got, want = {**EXACT, **ROUNDED}[name](*cols, p)
            agree(name, got, want)
            for g in as_tuple(got):  # new arrays, inputs untouched
                assert g.shape == (n,) and g.flags.c_contiguous and g.flags.writeable
                assert not any(np.shares_memory(g, a) for a in cols)
            assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(cols, before))


@pytest.mark.parametrize("name", [*EXACT, *ROUNDED])
def test_every_length_around_the_groups_and_rings_of_the_kernels(name):
    # Some kernels form values four bars at a time, with a ring of 64 bars behind their running sums (RSI from
    # p + 1 bars, ADX from 2p): every remainder of four, short of, at and past the ring, with and without holes.
    for p in (1, 2, 5):
        for extra in [*range(10), *range(58, 74), *range(126, 134)]:
            cols = ref.market(2 * p + extra, seed=2 * p + extra, nan_gaps=extra % 2 == 1)
            agree(name, *{**EXACT, **ROUNDED}[name](*cols, p))


@pytest.mark.parametrize("fast, slow, signal", [(2, 5, 4), (3, 7, 1), (1, 2, 9)])
def test_macd_with_a_missing_close_on_either_side_of_the_signal_seed(fast, slow, signal):
    # A NaN among the values the signal seeds on leaves no signal at all; one after the seed ends the signal
    # from there on, the MACD line itself going on.
    seed_at = slow - 1 + signal - 1
    for at in range(max(0, slow - 3), seed_at + 4):
        close = ref.market(seed_at + 12, seed=at)[2]
        close[at] = NAN
        agree("macd", tm.macd(close, fast, slow, signal), ref.macd(close, fast, slow, signal))


@pytest.mark.parametrize("period", [1, 2, 3, 7, 16, 49, 50])
@pytest.mark.parametrize("fn, is_max", [(tm.rolling_min, False), (tm.rolling_max, True)])
def test_rolling_extremes_across_block_edges(fn, is_max, period):
    """Blocks of p against a rescan, with NaN, infinities and signed zeros (maxNum prefers +0)."""
    x = np.random.default_rng(period).choice([-2.0, -1.0, -0.0, 0.0, 1.0, 3.0, NAN, np.inf, -np.inf], size=50)
    got, want = fn(x, period), ref.rolling_extreme(list(x), period, is_max)
    same(got, want)
    assert np.array_equal(np.signbit(got), np.signbit(np.array(want)))


def order_keys(x):
    """Integers ordered as maxNum / minNum order doubles (-0 below +0); the map is its own inverse."""
    i = x.view(np.int64)
    return i ^ ((i >> 63) & np.int64(2**63 - 1))


def windowed_extreme(x, p, is_max):
    """The rule by another road: the max / min of order keys over whole windows, NaN counting as the start value."""
    start = np.array([-np.inf if is_max else np.inf])
    keys = np.where(np.isnan(x), order_keys(start)[0], order_keys(x))
    windows = np.lib.stride_tricks.sliding_window_view(keys, p)
    values = order_keys(windows.max(axis=1) if is_max else windows.min(axis=1)).view(np.float64)
    return np.concatenate([np.full(p - 1, NAN), np.where(values == start[0], NAN, values)])


@pytest.mark.parametrize("period", [2, 14, 64, 65, 200, 513, 8193])
@pytest.mark.parametrize("fn, is_max", [(tm.rolling_min, False), (tm.rolling_max, True)])
def test_rolling_extremes_over_long_series(fn, is_max, period):
    # Stretches of thousands of values, some with zeros of both signs, NaN and infinities (where a zero is,
    # folded again exactly) and some of plain prices (the plain comparisons), with blocks shorter and longer
    # than a run of blocks and a partial block at the end. Gaps of NaN alone, longer than a window, one within
    # a run and one across a run's edge, keep the plain fold: only their windows without a number are mended.
    rng = np.random.default_rng(period)
    x = 100.0 + np.cumsum(rng.normal(0.0, 1.0, 9 * 2048))
    for at in rng.choice(9, size=3, replace=False) * 2048 + rng.integers(0, 2048, 3):
        x[at:at + 40] = rng.choice([-1.0, -0.0, 0.0, NAN, np.inf, -np.inf], size=40)
    for at in (rng.integers(0, 8 * 2048), max(1, 2048 // period) * period - period // 2):
        x[at:at + period + 7] = NAN
    got = fn(x, period)
    same(got, windowed_extreme(x, period, is_max))
    assert np.array_equal(np.signbit(got), np.signbit(windowed_extreme(x, period, is_max)))


def windowed_stochastic(h, l, c, k, d):
    """%K and %D by another road: window extremes of high and low, and each %D summed left to right."""
    hh, ll = windowed_extreme(h, k, True), windowed_extreme(l, k, False)
    hh, ll = np.where(np.isnan(hh), -INF, hh), np.where(np.isnan(ll), INF, ll)
    with np.errstate(invalid="ignore", divide="ignore"):
        kk = np.where(hh - ll > 0, (c - ll) / (hh - ll) * 100.0, 50.0)
    kk[:k - 1] = NAN
    sums = sum((kk[j:len(kk) - d + 1 + j] for j in range(d)), 0.0)  # left to right
    return kk, np.concatenate([np.full(d - 1, NAN), sums / d])


@pytest.mark.parametrize("kind", ["gapped", "flat", "flats", "flat_then_gap", "payloads"])
@pytest.mark.parametrize("period", [1, 3, 14])
def test_long_series_with_missing_bars_and_flat_stretches(period, kind):
    # Past tens of thousands of bars the ATR runs as chains side by side, stops stepping at the first missing bar
    # and resolves a flat stretch to the value the step no longer moves (for p > 2 a subnormal, for p <= 2 zero),
    # which supertrend holds too. Windows inside a gap read NaN (%K 50), windows of a flat stretch their level.
    h, l, c = ref.hard_series(kind)
    with np.errstate(invalid="ignore"):  # the reference's inf - inf
        for name in ("atr", "supertrend"):
            agree(name, *EXACT[name](h, l, c, None, period))
    atr = tm.atr(h, l, c, period)
    assert kind != "flat" or atr[-1] == atr[-20_000] and (0 < atr[-1] < 2.2250738585072014e-308) == (period > 2)
    for fn, is_max in ((tm.rolling_min, False), (tm.rolling_max, True)):
        for x in (h, c):
            got, want = fn(x, period), windowed_extreme(x, period, is_max)
            same(got, want)
            assert np.array_equal(np.signbit(got), np.signbit(want))
    for d in (1, 3):
        for got, want in zip(tm.stochastic(h, l, c, period, d), windowed_stochastic(h, l, c, period, d)):
            same(got, want)


@pytest.mark.parametrize("fill", [[NAN], [INF], [-INF], [NAN, -INF], [NAN, INF], [-0.0, NAN, 0.0], [-0.0]])
def test_rolling_extremes_of_series_without_numbers(fill):
    # Nothing but NaN, infinities and zeros, from the first block on: NaN where nothing beats the start value.
    x = np.array([fill[i * 7 // 5 % len(fill)] for i in range(5000)])
    for p in (1, 2, 14, 2049):
        for fn, is_max in ((tm.rolling_min, False), (tm.rolling_max, True)):
            got, want = fn(x, p), windowed_extreme(x, p, is_max)
            assert np.array_equal(got, want, equal_nan=True) and np.array_equal(np.signbit(got), np.signbit(want))


@pytest.mark.parametrize("period", [2, 3, 14])
def test_adx_after_a_bar_without_high_and_low(period):
    # A missing bar makes the TR sum NaN for good: every DX after it is 0 and the ADX decays, down through the
    # subnormal numbers to where a step gives back its own value (reached here for the short periods).
    cols = ref.market(3000, seed=period)
    cols[0][400] = cols[1][400] = NAN
    h, l, c, _ = cols
    want = ref.adx(h, l, c, period)
    same(tm.adx(h, l, c, period), want)
    assert period == 14 or want[-1] == want[-2] < 1e-300


def test_a_period_beyond_any_length_is_only_a_long_warm_up():
    x, p = np.ones(4), 2**63
    for out in (tm.sma(x, p), tm.ema(x, p), tm.rsi(x, p), *tm.macd(x, p, p + 1, p), *tm.stochastic(x, x, x, p, p),
                tm.atr(x, x, x, p), *tm.bollinger_bands(x, p), tm.adx(x, x, x, p), tm.rolling_min(x, p),
                tm.rolling_max(x, p), tm.supertrend(x, x, x, p)[0]):
        assert np.isnan(out).all()
    assert not tm.supertrend(x, x, x, p)[1].any()


A3, A2 = F(1, 2, 3), F(1, 2)
ERRORS = [
    (lambda: tm.sma(A3, 0), "Invalid parameter: SMA period must be > 0"),
    (lambda: tm.ema(A3, 0), "Invalid parameter: EMA period must be > 0"),
    (lambda: tm.rsi(A3, 0), "Invalid parameter: RSI period must be > 0"),
    (lambda: tm.macd(A3, 0, 0, 9), "Invalid parameter: MACD periods must be > 0"),
    (lambda: tm.macd(A3, 26, 12, 0), "Invalid parameter: MACD periods must be > 0"),
    (lambda: tm.macd(A3, 12, 12, 9), "Invalid parameter: MACD fast period must be < slow period"),
    (lambda: tm.stochastic(A2, A3, A3, 0, 3), "Data length mismatch: expected 3, got 2"),
    (lambda: tm.stochastic(A3, A3, A3, 14, 0), "Invalid parameter: Stochastic periods must be > 0"),
    (lambda: tm.bollinger_bands(A3, 0, 0.0), "Invalid parameter: Bollinger Bands period must be > 0"),
    (lambda: tm.bollinger_bands(A3, 20, 0.0), "Invalid parameter: Bollinger Bands std_dev must be > 0"),
    (lambda: tm.adx(A3, A2, A3, 0), "Data length mismatch: expected 3, got 2"),
    (lambda: tm.adx(A3, A3, A3, 0), "Invalid parameter: ADX period must be > 0"),
    (lambda: tm.vwap(A2, A3, A3, A3), "Data length mismatch: expected 3, got 2"),
    (lambda: tm.supertrend(A3, A3, A2), "Data length mismatch: expected 2, got 3"),
    (lambda: tm.supertrend(A3, A3, A3, 0), "Invalid parameter: Supertrend period must be > 0"),
    (lambda: tm.rolling_min(A3, 0), "Invalid parameter: period must be at least 1"),
    (lambda: tm.rolling_max(F(), 0), "Invalid parameter: period must be at least 1"),
]


@pytest.mark.parametrize("call, message", ERRORS)
def test_refusals_in_their_order(call, message):
    with pytest.raises(ValueError) as exc:
        call()
    assert str(exc.value) == message


def test_keywords_defaults_and_docstrings():
    x = np.linspace(1.0, 50.0, 60)
    same(tm.macd(x), tm.macd(data=x, fast_period=12, slow_period=26, signal_period=9))
    same(tm.bollinger_bands(x)[0], tm.bollinger_bands(x, period=20, std_dev=2)[0])
    same(tm.stochastic(x, x, x)[1], tm.stochastic(x, x, x, k_period=14, d_period=3)[1])
    same(tm.supertrend(x, x, x)[0], tm.supertrend(high=x, low=x, close=x, period=10, multiplier=3.0)[0])
    docs = ["Simple Moving Average.", "Exponential Moving Average.", "Relative Strength Index.", "MACD indicator.",
            "Stochastic oscillator.", "Average True Range.", "Bollinger Bands.", "Average Directional Index.",
            "Volume Weighted Average Price.", "Supertrend indicator.", "Rolling minimum (Lowest Low Value).",
            "Rolling maximum (Highest High Value)."]
    names = "sma ema rsi macd stochastic atr bollinger_bands adx vwap supertrend rolling_min rolling_max".split()
    # The summary line of each; the rest is checked against the functions in test_docs.
    assert [getattr(tm, name).__doc__.split("\n")[0] for name in names] == docs
