"""The twelve batch indicators: hand-worked values, agreement with the rules on
long random series (with and without NaN holes), warm-up, and argument checks."""

import math

import numpy as np
import pytest

import _tidemark as tm
import indicator_reference as ref
from portfolio_util import f64 as F

NAN = math.nan


def same(got, want):
    """Equal value for value, NaN where NaN is expected."""
    np.testing.assert_array_equal(np.asarray(got), np.asarray(want, dtype=np.asarray(got).dtype))


# Worked by hand; comments give the arithmetic.
ATR_H, ATR_L, ATR_C = F(10, 12, 11, 15, 14), F(8, 9, 7, 12, 13), F(9, 11, 8, 14, 13.5)  # TR 2, 3, 4, 7, 1
HAND = [
    ("sma", lambda: tm.sma(F(1, 2, 3), 3), [F(NAN, NAN, 2.0)]),
    ("sma p > n", lambda: tm.sma(F(1, 2, 3), 4), [F(NAN, NAN, NAN)]),
    # one NaN poisons the running sum for good
    ("sma NaN", lambda: tm.sma(F(1, NAN, 3, 4, 5), 2), [F(NAN, NAN, NAN, NAN, NAN)]),
    # seed (1+2)/2, then 2/3 x + 1/3 prev: 2.5, 3.5
    ("ema", lambda: tm.ema(F(1, 2, 3, 4), 2), [F(NAN, 1.5, 2.5, 3.5)]),
    ("ema p = n", lambda: tm.ema(F(1, 2, 3), 3), [F(NAN, NAN, 2.0)]),
    # changes +1 -1 +1 +1; seed gain .5 loss .5 -> 50; then .75/.25 -> 75; .875/.125 -> 87.5
    ("rsi", lambda: tm.rsi(F(1, 2, 1, 2, 3), 2), [F(NAN, NAN, 50.0, 75.0, 87.5)]),
    ("rsi flat", lambda: tm.rsi(F(5, 5, 5, 5), 2), [F(NAN, NAN, 100.0, 100.0)]),
    ("rsi one value", lambda: tm.rsi(F(5), 1), [F(NAN)]),
    ("rsi p >= n", lambda: tm.rsi(F(1, 2, 3), 3), [F(NAN, NAN, NAN)]),
    # fast EMA(2) 1.5 2.5 3.5 4.5 5.5, slow EMA(3) 2 3 4 5: MACD .5 from index 2;
    # signal seeds at 3 on mean(.5, .5)
    ("macd", lambda: tm.macd(F(1, 2, 3, 4, 5, 6), 2, 3, 2),
     [F(NAN, NAN, .5, .5, .5, .5), F(NAN, NAN, NAN, .5, .5, .5), F(NAN, NAN, NAN, 0, 0, 0)]),
    ("macd slow > n", lambda: tm.macd(F(1, 2), 1, 3, 1), [F(NAN, NAN)] * 3),
    # windows of 2: hh/ll 4/1, 5/2, 6/3 -> %K 100, 33.3, 66.7; %D means of two
    ("stochastic", lambda: tm.stochastic(F(3, 4, 5, 6), F(1, 2, 3, 4), F(2, 4, 3, 5), 2, 2),
     [F(NAN, 100.0, 100 / 3, 200 / 3), F(NAN, NAN, 200 / 3, 50.0)]),
    # zero range, and a window with no numbers (range -inf), both read 50
    ("stochastic flat", lambda: tm.stochastic(F(NAN, NAN, 2, 2), F(NAN, NAN, 2, 2), F(1, 1, 2, 2), 2, 1),
     [F(NAN, 50.0, 50.0, 50.0), F(NAN, 50.0, 50.0, 50.0)]),
    # seed (2+3+4)/3 = 3, then 7/3 + 2/3 * 3, then 1/3 + 2/3 * 13/3
    ("atr", lambda: tm.atr(ATR_H, ATR_L, ATR_C, 3), [F(NAN, NAN, 3.0, 13 / 3, 29 / 9)]),
    ("atr p = n", lambda: tm.atr(ATR_H[:3], ATR_L[:3], ATR_C[:3], 3), [F(NAN, NAN, NAN)]),
    # population deviation of (1, 2, 3) around 2 is sqrt(2/3)
    ("bollinger", lambda: tm.bollinger_bands(F(1, 2, 3, 4), 3, 2.0),
     [F(NAN, NAN, 2 + 2 * math.sqrt(2 / 3), 3 + 2 * math.sqrt(2 / 3)), F(NAN, NAN, 2, 3),
      F(NAN, NAN, 2 - 2 * math.sqrt(2 / 3), 3 - 2 * math.sqrt(2 / 3))]),
    ("bollinger flat", lambda: tm.bollinger_bands(F(5, 5, 5), 2, 2.0), [F(NAN, 5, 5)] * 3),
    ("bollinger NaN std_dev", lambda: tm.bollinger_bands(F(1, 3), 2, NAN), [F(NAN, NAN), F(NAN, 2), F(NAN, NAN)]),
    # p = 1: DX of each bar; bar 1 all up (+DI 200/3, DX 100), bar 2 no move (DX 0)
    ("adx p=1", lambda: tm.adx(F(10, 12, 11), F(8, 9, 9), F(9, 11, 10), 1), [F(NAN, 100.0, 0.0)]),
    # n = 2p: sums at 2 give DX 100; bar 3: +DI 200/7, -DI 800/21, DX 100/7; ADX = mean = 400/7
    ("adx n = 2p", lambda: tm.adx(F(10, 12, 13, 12), F(9, 10, 11, 9), F(9.5, 11, 12, 10), 2),
     [F(NAN, NAN, NAN, 400 / 7)]),
    ("adx 2p > n", lambda: tm.adx(F(1, 2, 3), F(1, 2, 3), F(1, 2, 3), 2), [F(NAN, NAN, NAN)]),
    # typical prices 1, 3, 5; no volume on bar 0
    ("vwap", lambda: tm.vwap(F(2, 4, 6), F(0, 2, 4), F(1, 3, 5), F(0, 1, 3)), [F(NAN, 3.0, 4.5)]),
    # ATR(2) 2.5 3.25 5.125 3.0625; bands mid -/+ 0.5 ATR; down until the close 14 breaks 10.625
    ("supertrend", lambda: tm.supertrend(ATR_H, ATR_L, ATR_C, 2, 0.5),
     [F(NAN, 11.75, 10.625, 10.9375, 11.96875), np.array([0, -1, -1, 1, 1], dtype=np.int8)]),
    ("supertrend p >= n", lambda: tm.supertrend(ATR_H[:2], ATR_L[:2], ATR_C[:2], 2),
     [F(NAN, NAN), np.array([0, 0], dtype=np.int8)]),
    ("rolling_min", lambda: tm.rolling_min(F(3, NAN, 1, 5, NAN, NAN), 2), [F(NAN, 3, 1, 1, 5, NAN)]),
    ("rolling_max", lambda: tm.rolling_max(F(3, NAN, 1, 5, NAN, NAN), 2), [F(NAN, 3, 1, 5, 5, NAN)]),
    ("rolling_min only +inf", lambda: tm.rolling_min(F(np.inf, 1), 1), [F(NAN, 1)]),
    ("rolling_max only -inf", lambda: tm.rolling_max(F(-np.inf, 1), 1), [F(NAN, 1)]),
]


@pytest.mark.parametrize("call, expected", [pytest.param(c, e, id=i) for i, c, e in HAND])
def test_hand_worked_values(call, expected):
    got = call()
    got = got if isinstance(got, tuple) else (got,)
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert g.dtype == e.dtype and g.shape == e.shape
        np.testing.assert_allclose(g, e, rtol=1e-14, atol=1e-12)


def test_signed_zero_extremes():
    # maxNum prefers +0, minNum -0, whatever the order inside the window
    for data in (F(-0.0, 0.0), F(0.0, -0.0)):
        assert math.copysign(1, tm.rolling_max(data, 2)[1]) == 1
        assert math.copysign(1, tm.rolling_min(data, 2)[1]) == -1


def run_batch(name, cols, p):
    h, l, c, v = cols
    if name == "sma":
        return (tm.sma(c, p),), (ref.sma(c, p),)
    if name == "ema":
        return (tm.ema(c, p),), (ref.ema(c, p),)
    if name == "rsi":
        return (tm.rsi(c, p),), (ref.rsi(c, p),)
    if name == "macd":
        return tm.macd(c, p, 2 * p + 1, 5), ref.macd(c, p, 2 * p + 1, 5)
    if name == "atr":
        return (tm.atr(h, l, c, p),), (ref.atr(h, l, c, p),)
    if name == "adx":
        return (tm.adx(h, l, c, p),), (ref.adx(h, l, c, p),)
    if name == "vwap":
        return (tm.vwap(h, l, c, v),), (ref.vwap(h, l, c, v),)
    if name == "supertrend":
        return tm.supertrend(h, l, c, p, 2.5), ref.supertrend(h, l, c, p, 2.5)
    if name == "rolling_min":
        return (tm.rolling_min(c, p),), (ref.rolling_extreme(c, p, False),)
    if name == "rolling_max":
        return (tm.rolling_max(c, p),), (ref.rolling_extreme(c, p, True),)
    raise AssertionError(name)


EXACT = ["sma", "ema", "rsi", "macd", "atr", "adx", "vwap", "supertrend", "rolling_min", "rolling_max"]


@pytest.mark.parametrize("nan_gaps", [False, True], ids=["clean", "nan_gaps"])
@pytest.mark.parametrize("period", [1, 3, 14, 57])
@pytest.mark.parametrize("name", EXACT)
def test_kernels_keep_the_stated_order_of_operations(name, period, nan_gaps):
    """Bit for bit equal to the rules evaluated one operation at a time."""
    cols = ref.market(1500, seed=period, nan_gaps=nan_gaps)
    got, want = run_batch(name, cols, period)
    for g, w in zip(got, want):
        same(g, w)


@pytest.mark.parametrize("nan_gaps", [False, True], ids=["clean", "nan_gaps"])
@pytest.mark.parametrize("k, d", [(1, 1), (5, 3), (14, 3), (20, 40)])
def test_stochastic_matches_rescanned_windows(k, d, nan_gaps):
    h, l, c, _ = ref.market(1500, seed=k + d, nan_gaps=nan_gaps)
    got_k, got_d = tm.stochastic(h, l, c, k, d)
    want_k, want_d = ref.stochastic(h, l, c, k, d)
    same(got_k, want_k)
    # %D keeps a running sum (O(1) per bar at any d): equal but for rounding
    np.testing.assert_allclose(got_d, want_d, rtol=1e-12, atol=1e-12)
    assert np.array_equal(np.isnan(got_d), np.isnan(want_d))


@pytest.mark.parametrize("nan_gaps", [False, True], ids=["clean", "nan_gaps"])
@pytest.mark.parametrize("period", [1, 2, 20, 200])
def test_bollinger_deviation_matches_fresh_sums(period, nan_gaps):
    """The bands keep running sums of the deviations; they agree with the sum
    taken afresh over each window to within rounding."""
    _, _, c, _ = ref.market(3000, seed=period, nan_gaps=nan_gaps)
    c[1000:1003] += 1e4  # a spike entering and leaving the window
    upper, middle, lower = tm.bollinger_bands(c, period, 2.0)
    w_upper, w_middle, w_lower = ref.bollinger(list(c), period, 2.0)
    same(middle, w_middle)
    for got, want in ((upper, w_upper), (lower, w_lower)):
        assert np.array_equal(np.isnan(got), np.isnan(want))
        np.testing.assert_allclose(got - middle, np.array(want) - middle, rtol=1e-9, atol=1e-9)


def test_bollinger_bands_of_a_flat_stretch_collapse_exactly():
    x = np.concatenate([np.linspace(100.0, 140.0, 60), np.full(60, 125.0)])
    upper, middle, lower = tm.bollinger_bands(x, 20, 2.0)
    assert np.array_equal(upper[-30:], middle[-30:]) and np.array_equal(lower[-30:], middle[-30:])
    assert np.all(middle[-30:] == 125.0)


@pytest.mark.parametrize("period", [1, 2, 3, 7, 16, 49, 50])
@pytest.mark.parametrize("fn, is_max", [(tm.rolling_min, False), (tm.rolling_max, True)])
def test_rolling_extremes_across_block_edges(fn, is_max, period):
    """The O(n) windows (blocks of p) against a rescan, for periods that do
    and do not divide the length, with NaN, infinities and signed zeros."""
    rng = np.random.default_rng(period)
    x = rng.choice([-2.0, -1.0, -0.0, 0.0, 1.0, 3.0, np.nan, np.inf, -np.inf], size=50)
    got = fn(x, period)
    want = ref.rolling_extreme(list(x), period, is_max)
    same(got, want)
    assert np.array_equal(np.signbit(got), np.signbit(np.array(want)))


ALL_CALLS = {
    "sma": lambda a, p: tm.sma(a, p),
    "ema": lambda a, p: tm.ema(a, p),
    "rsi": lambda a, p: tm.rsi(a, p),
    "macd": lambda a, p: tm.macd(a, p, p + 1, p),
    "stochastic": lambda a, p: tm.stochastic(a, a, a, p, p),
    "atr": lambda a, p: tm.atr(a, a, a, p),
    "bollinger_bands": lambda a, p: tm.bollinger_bands(a, p, 2.0),
    "adx": lambda a, p: tm.adx(a, a, a, p),
    "vwap": lambda a, p: tm.vwap(a, a, a, a),
    "supertrend": lambda a, p: tm.supertrend(a, a, a, p, 3.0),
    "rolling_min": lambda a, p: tm.rolling_min(a, p),
    "rolling_max": lambda a, p: tm.rolling_max(a, p),
}
TUPLE_SIZE = {"macd": 3, "stochastic": 2, "bollinger_bands": 3, "supertrend": 2}


@pytest.mark.parametrize("name", ALL_CALLS)
def test_outputs_are_new_arrays_of_the_input_length(name):
    for n in (0, 1, 5):
        data = np.linspace(1.0, 2.0, n)
        before = data.copy()
        out = ALL_CALLS[name](data, 2)
        out = out if isinstance(out, tuple) else (out,)
        assert len(out) == TUPLE_SIZE.get(name, 1)
        for a in out:
            assert a.shape == (n,) and a.flags.c_contiguous and a.flags.writeable
            assert not np.shares_memory(a, data)
        assert np.array_equal(data, before)
    # a huge period is only a long warm-up
    if name != "vwap":
        out = ALL_CALLS[name](np.ones(4), 2**63)
        for a in out if isinstance(out, tuple) else (out,):
            assert np.isnan(a).all() if a.dtype == np.float64 else not a.any()


A3, A2 = F(1, 2, 3), F(1, 2)
ERRORS = [
    (lambda: tm.sma(A3, 0), "Invalid parameter: SMA period must be > 0"),
    (lambda: tm.ema(A3, 0), "Invalid parameter: EMA period must be > 0"),
    (lambda: tm.rsi(A3, 0), "Invalid parameter: RSI period must be > 0"),
    (lambda: tm.macd(A3, 0, 0, 9), "Invalid parameter: MACD periods must be > 0"),
    (lambda: tm.macd(A3, 26, 12, 0), "Invalid parameter: MACD periods must be > 0"),
    (lambda: tm.macd(A3, 12, 12, 9), "Invalid parameter: MACD fast period must be < slow period"),
    (lambda: tm.stochastic(A3, A2, A3), "Data length mismatch: expected 3, got 2"),
    (lambda: tm.stochastic(A2, A3, A3, 0, 3), "Data length mismatch: expected 3, got 2"),
    (lambda: tm.stochastic(A3, A3, A3, 14, 0), "Invalid parameter: Stochastic periods must be > 0"),
    (lambda: tm.atr(A3, A3, A2, 0), "Data length mismatch: expected 2, got 3"),
    (lambda: tm.atr(A3, A3, A3, 0), "Invalid parameter: ATR period must be > 0"),
    (lambda: tm.bollinger_bands(A3, 0, 0.0), "Invalid parameter: Bollinger Bands period must be > 0"),
    (lambda: tm.bollinger_bands(A3, 20, 0.0), "Invalid parameter: Bollinger Bands std_dev must be > 0"),
    (lambda: tm.bollinger_bands(A3, 20, -1), "Invalid parameter: Bollinger Bands std_dev must be > 0"),
    (lambda: tm.adx(A3, A2, A3, 0), "Data length mismatch: expected 3, got 2"),
    (lambda: tm.adx(A3, A3, A3, 0), "Invalid parameter: ADX period must be > 0"),
    (lambda: tm.vwap(A3, A3, A3, A2), "Data length mismatch: expected 3, got 2"),
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


@pytest.mark.parametrize("call, exc_type, message", [
    (lambda: tm.sma(np.array([1, 2]), 1), TypeError, "argument 'data': type mismatch:\n from=int64, to=float64"),
    (lambda: tm.atr(A3, A3.astype(np.float32), A3, 1), TypeError,
     "argument 'low': type mismatch:\n from=float32, to=float64"),
    (lambda: tm.rsi(np.ones((2, 2)), 1), TypeError, "argument 'data': dimensionality mismatch:\n from=2, to=1"),
    (lambda: tm.ema([1.0, 2.0], 1), TypeError, "argument 'data': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: tm.sma(A3, -1), OverflowError, None),
    (lambda: tm.macd(A3, 12, 2**64), OverflowError, None),
    (lambda: tm.sma(A3, 1.0), TypeError, None),
    (lambda: tm.bollinger_bands(A3, 2, "2"), TypeError, None),
])
def test_argument_conversion_errors(call, exc_type, message):
    with pytest.raises(exc_type) as exc:
        call()
    if message is not None:
        assert str(exc.value) == message


def test_keywords_and_defaults():
    x = np.linspace(1.0, 50.0, 60)
    same(tm.macd(x), tm.macd(data=x, fast_period=12, slow_period=26, signal_period=9))
    same(tm.bollinger_bands(x)[0], tm.bollinger_bands(x, period=20, std_dev=2)[0])
    same(tm.stochastic(x, x, x)[1], tm.stochastic(x, x, x, k_period=14, d_period=3)[1])
    same(tm.supertrend(x, x, x)[0], tm.supertrend(high=x, low=x, close=x, period=10, multiplier=3.0)[0])


@pytest.mark.parametrize("name, doc", [
    ("sma", "Simple Moving Average."), ("ema", "Exponential Moving Average."),
    ("rsi", "Relative Strength Index."), ("macd", "MACD indicator."), ("stochastic", "Stochastic oscillator."),
    ("atr", "Average True Range."), ("bollinger_bands", "Bollinger Bands."),
    ("adx", "Average Directional Index."), ("vwap", "Volume Weighted Average Price."),
    ("supertrend", "Supertrend indicator."), ("rolling_min", "Rolling minimum (Lowest Low Value)."),
    ("rolling_max", "Rolling maximum (Highest High Value)."),
])
def test_docstrings(name, doc):
    assert getattr(tm, name).__doc__ == doc
