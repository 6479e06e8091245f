"""The twelve batch indicators: hand-worked values, the rules on long random series, argument checks."""

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


def as_tuple(out):
    return out if isinstance(out, tuple) else (out,)


ATR_H, ATR_L, ATR_C = F(10, 12, 11, 15, 14), F(8, 9, 7, 12, 13), F(9, 11, 8, 14, 13.5)  # TR 2, 3, 4, 7, 1
SQ = 2 * math.sqrt(2 / 3)  # twice the population deviation of (1, 2, 3)
HAND = [  # worked by hand
    ("sma", lambda: tm.sma(F(1, 2, 3), 3), [F(NAN, NAN, 2.0)]),
    ("sma p > n", lambda: tm.sma(F(1, 2, 3), 4), [F(NAN, NAN, NAN)]),
    ("sma NaN poisons the sum", lambda: tm.sma(F(1, NAN, 3, 4, 5), 2), [F(NAN, NAN, NAN, NAN, NAN)]),
    ("ema", lambda: tm.ema(F(1, 2, 3, 4), 2), [F(NAN, 1.5, 2.5, 3.5)]),  # seed 1.5, then 2/3 x + 1/3 prev
    ("ema p = n", lambda: tm.ema(F(1, 2, 3), 3), [F(NAN, NAN, 2.0)]),
    # changes +1 -1 +1 +1; gain/loss .5/.5 -> 50; .75/.25 -> 75; .875/.125 -> 87.5
    ("rsi", lambda: tm.rsi(F(1, 2, 1, 2, 3), 2), [F(NAN, NAN, 50.0, 75.0, 87.5)]),
    ("rsi flat", lambda: tm.rsi(F(5, 5, 5, 5), 2), [F(NAN, NAN, 100.0, 100.0)]),
    ("rsi one value", lambda: tm.rsi(F(5), 1), [F(NAN)]),
    ("rsi p >= n", lambda: tm.rsi(F(1, 2, 3), 3), [F(NAN, NAN, NAN)]),
    # EMA(2) 1.5 2.5 3.5 4.5 5.5, EMA(3) 2 3 4 5: MACD .5 from index 2; signal seeds at 3
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
    ("bollinger", lambda: tm.bollinger_bands(F(1, 2, 3, 4), 3, 2.0),
     [F(NAN, NAN, 2 + SQ, 3 + SQ), F(NAN, NAN, 2, 3), F(NAN, NAN, 2 - SQ, 3 - SQ)]),
    ("bollinger flat", lambda: tm.bollinger_bands(F(5, 5, 5), 2, 2.0), [F(NAN, 5, 5)] * 3),
    ("bollinger NaN std_dev", lambda: tm.bollinger_bands(F(1, 3), 2, NAN), [F(NAN, NAN), F(NAN, 2), F(NAN, NAN)]),
    # p = 1: DX of each bar; bar 1 all up (+DI 200/3, DX 100), bar 2 no move (DX 0)
    ("adx p=1", lambda: tm.adx(F(10, 12, 11), F(8, 9, 9), F(9, 11, 10), 1), [F(NAN, 100.0, 0.0)]),
    # sums at 2 give DX 100; bar 3: +DI 200/7, -DI 800/21, DX 100/7; ADX = mean = 400/7
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
    got = as_tuple(call())
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert g.dtype == e.dtype and g.shape == e.shape
        np.testing.assert_allclose(g, e, rtol=1e-14, atol=1e-12)


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
}
GAPS = pytest.mark.parametrize("nan_gaps", [False, True], ids=["clean", "nan_gaps"])


@GAPS
@pytest.mark.parametrize("period", [1, 3, 14, 57])
@pytest.mark.parametrize("name", EXACT)
def test_kernels_keep_the_stated_order_of_operations(name, period, nan_gaps):
    got, want = EXACT[name](*ref.market(1500, seed=period, nan_gaps=nan_gaps), period)
    got, want = as_tuple(got), want if isinstance(want, tuple) else (want,)
    for g, w in zip(got, want, strict=True):
        same(g, w)


@GAPS
@pytest.mark.parametrize("k, d", [(1, 1), (5, 3), (14, 3), (20, 40)])
def test_stochastic_matches_rescanned_windows(k, d, nan_gaps):
    h, l, c, _ = ref.market(1500, seed=k + d, nan_gaps=nan_gaps)
    (got_k, got_d), (want_k, want_d) = tm.stochastic(h, l, c, k, d), ref.stochastic(h, l, c, k, d)
    same(got_k, want_k)
    # %D keeps a running sum (O(1) per bar at any d): equal but for rounding
    np.testing.assert_allclose(got_d, want_d, rtol=1e-12, atol=1e-12)
    assert np.array_equal(np.isnan(got_d), np.isnan(want_d))


@GAPS
@pytest.mark.parametrize("period", [1, 2, 20, 200])
def test_bollinger_deviation_matches_fresh_sums(period, nan_gaps):
    _, _, c, _ = ref.market(3000, seed=period, nan_gaps=nan_gaps)
    c[1000:1003] += 1e4  # a spike entering and leaving the running sums
    upper, middle, lower = tm.bollinger_bands(c, period, 2.0)
    w_upper, w_middle, w_lower = ref.bollinger(list(c), period, 2.0)
    same(middle, w_middle)
    for got, want in ((upper, w_upper), (lower, w_lower)):
        assert np.array_equal(np.isnan(got), np.isnan(want))
        np.testing.assert_allclose(got - middle, np.array(want) - middle, rtol=1e-9, atol=1e-9)
    # a flat stretch collapses the bands exactly
    upper, middle, lower = tm.bollinger_bands(np.concatenate([np.linspace(100.0, 140.0, 60), np.full(60, 125.0)]), 20)
    assert np.array_equal(upper[-30:], middle[-30:]) and np.array_equal(lower[-30:], middle[-30:])
    assert np.all(middle[-30:] == 125.0)


@pytest.mark.parametrize("period", [1, 2, 3, 7, 16, 49, 50])
@pytest.mark.parametrize("fn, is_max", [(tm.rolling_min, False), (tm.rolling_max, True)])
def test_rolling_extremes_across_block_edges(fn, is_max, period):
    """Blocks of p against a rescan, with NaN, infinities and signed zeros (maxNum prefers +0)."""
    x = np.random.default_rng(period).choice([-2.0, -1.0, -0.0, 0.0, 1.0, 3.0, NAN, np.inf, -np.inf], size=50)
    got, want = fn(x, period), ref.rolling_extreme(list(x), period, is_max)
    same(got, want)
    assert np.array_equal(np.signbit(got), np.signbit(np.array(want)))


ALL_CALLS = {
    "sma": lambda a, p: tm.sma(a, p), "ema": lambda a, p: tm.ema(a, p), "rsi": lambda a, p: tm.rsi(a, p),
    "macd": lambda a, p: tm.macd(a, p, p + 1, p), "stochastic": lambda a, p: tm.stochastic(a, a, a, p, p),
    "atr": lambda a, p: tm.atr(a, a, a, p), "bollinger_bands": lambda a, p: tm.bollinger_bands(a, p, 2.0),
    "adx": lambda a, p: tm.adx(a, a, a, p), "vwap": lambda a, p: tm.vwap(a, a, a, a),
    "supertrend": lambda a, p: tm.supertrend(a, a, a, p, 3.0),
    "rolling_min": lambda a, p: tm.rolling_min(a, p), "rolling_max": lambda a, p: tm.rolling_max(a, p),
}


@pytest.mark.parametrize("name, size", list(zip(ALL_CALLS, [1, 1, 1, 3, 2, 1, 3, 1, 1, 2, 1, 1])))
def test_outputs_are_new_arrays_of_the_input_length(name, size):
    for n in (0, 1, 5):
        data = np.linspace(1.0, 2.0, n)
        before = data.copy()
        out = as_tuple(ALL_CALLS[name](data, 2))
        assert len(out) == size
        for a in out:
            assert a.shape == (n,) and a.flags.c_contiguous and a.flags.writeable
            assert not np.shares_memory(a, data)
        assert np.array_equal(data, before)
    for a in as_tuple(ALL_CALLS[name](np.ones(4), 2**63)) if name != "vwap" else ():  # only a long warm-up
        assert np.isnan(a).all() if a.dtype == np.float64 else not a.any()


A3, A2 = F(1, 2, 3), F(1, 2)
ERRORS = [
    (lambda: tm.sma(A3, 0), ValueError, "Invalid parameter: SMA period must be > 0"),
    (lambda: tm.ema(A3, 0), ValueError, "Invalid parameter: EMA period must be > 0"),
    (lambda: tm.rsi(A3, 0), ValueError, "Invalid parameter: RSI period must be > 0"),
    (lambda: tm.macd(A3, 0, 0, 9), ValueError, "Invalid parameter: MACD periods must be > 0"),
    (lambda: tm.macd(A3, 26, 12, 0), ValueError, "Invalid parameter: MACD periods must be > 0"),
    (lambda: tm.macd(A3, 12, 12, 9), ValueError, "Invalid parameter: MACD fast period must be < slow period"),
    (lambda: tm.stochastic(A3, A2, A3), ValueError, "Data length mismatch: expected 3, got 2"),
    (lambda: tm.stochastic(A2, A3, A3, 0, 3), ValueError, "Data length mismatch: expected 3, got 2"),
    (lambda: tm.stochastic(A3, A3, A3, 14, 0), ValueError, "Invalid parameter: Stochastic periods must be > 0"),
    (lambda: tm.atr(A3, A3, A2, 0), ValueError, "Data length mismatch: expected 2, got 3"),
    (lambda: tm.atr(A3, A3, A3, 0), ValueError, "Invalid parameter: ATR period must be > 0"),
    (lambda: tm.bollinger_bands(A3, 0, 0.0), ValueError, "Invalid parameter: Bollinger Bands period must be > 0"),
    (lambda: tm.bollinger_bands(A3, 20, 0.0), ValueError, "Invalid parameter: Bollinger Bands std_dev must be > 0"),
    (lambda: tm.bollinger_bands(A3, 20, -1), ValueError, "Invalid parameter: Bollinger Bands std_dev must be > 0"),
    (lambda: tm.adx(A3, A2, A3, 0), ValueError, "Data length mismatch: expected 3, got 2"),
    (lambda: tm.adx(A3, A3, A3, 0), ValueError, "Invalid parameter: ADX period must be > 0"),
    (lambda: tm.vwap(A3, A3, A3, A2), ValueError, "Data length mismatch: expected 3, got 2"),
    (lambda: tm.vwap(A2, A3, A3, A3), ValueError, "Data length mismatch: expected 3, got 2"),
    (lambda: tm.supertrend(A3, A3, A2), ValueError, "Data length mismatch: expected 2, got 3"),
    (lambda: tm.supertrend(A3, A3, A3, 0), ValueError, "Invalid parameter: Supertrend period must be > 0"),
    (lambda: tm.rolling_min(A3, 0), ValueError, "Invalid parameter: period must be at least 1"),
    (lambda: tm.rolling_max(F(), 0), ValueError, "Invalid parameter: period must be at least 1"),
    (lambda: tm.sma(np.array([1, 2]), 1), TypeError, "argument 'data': type mismatch:\n from=int64, to=float64"),
    (lambda: tm.atr(A3, A3.astype(np.float32), A3, 1), TypeError,
     "argument 'low': type mismatch:\n from=float32, to=float64"),
    (lambda: tm.rsi(np.ones((2, 2)), 1), TypeError, "argument 'data': dimensionality mismatch:\n from=2, to=1"),
    (lambda: tm.ema([1.0, 2.0], 1), TypeError, "argument 'data': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: tm.sma(A3, -1), OverflowError, None),
    (lambda: tm.macd(A3, 12, 2**64), OverflowError, None),
    (lambda: tm.sma(A3, 1.0), TypeError, None),
    (lambda: tm.bollinger_bands(A3, 2, "2"), TypeError, None),
]


@pytest.mark.parametrize("call, exc_type, message", ERRORS)
def test_refusals_in_their_order(call, exc_type, message):
    with pytest.raises(exc_type) as exc:
        call()
    assert message is None or str(exc.value) == message


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
    assert [getattr(tm, name).__doc__ for name in ALL_CALLS] == docs
