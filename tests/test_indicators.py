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


# Rules the long random series never reach: a flat window and one without numbers read 50, a NaN width
# spreads, a bar without volume has no price.
HAND = [
    ("stochastic flat", lambda: tm.stochastic(F(NAN, NAN, 2, 2), F(NAN, NAN, 2, 2), F(1, 1, 2, 2), 2, 1),
     [F(NAN, 50.0, 50.0, 50.0), F(NAN, 50.0, 50.0, 50.0)]),
    ("bollinger NaN std_dev", lambda: tm.bollinger_bands(F(1, 3), 2, NAN), [F(NAN, NAN), F(NAN, 2), F(NAN, NAN)]),
    ("vwap", lambda: tm.vwap(F(2, 4, 6), F(0, 2, 4), F(1, 3, 5), F(0, 1, 3)), [F(NAN, 3.0, 4.5)]),
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


ROUNDED = {  # running sums: equal but for rounding
    "stochastic": lambda h, l, c, v, p: (tm.stochastic(h, l, c, p, p + 1), ref.stochastic(h, l, c, p, p + 1)),
    "bollinger": lambda h, l, c, v, p: (tm.bollinger_bands(c, p, 2.0), ref.bollinger(list(c), p, 2.0)),
}


@pytest.mark.parametrize("name", [*EXACT, *ROUNDED])
def test_warm_up_edges_on_every_short_length(name):
    for p in (1, 2, 3):
        for n in range(20):
            got, want = {**EXACT, **ROUNDED}[name](*ref.market(n, seed=n), p)
            for g, w in zip(as_tuple(got), want if isinstance(want, tuple) else (want,), strict=True):
                assert g.shape == (n,)
                if name in EXACT:
                    same(g, w)
                else:
                    np.testing.assert_allclose(g, w, rtol=1e-12, atol=1e-12)


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
    data = np.linspace(1.0, 2.0, 5)
    out = as_tuple(ALL_CALLS[name](data, 2))
    assert len(out) == size and np.array_equal(data, np.linspace(1.0, 2.0, 5))
    for a in out:
        assert a.shape == (5,) and a.flags.c_contiguous and a.flags.writeable and not np.shares_memory(a, data)
    for a in as_tuple(ALL_CALLS[name](np.ones(4), 2**63)) if name != "vwap" else ():  # only a long warm-up
        assert np.isnan(a).all() if a.dtype == np.float64 else not a.any()


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
    assert [getattr(tm, name).__doc__ for name in ALL_CALLS] == docs
