"""The streaming Indicator: hand-worked sequences, identities with the batch functions, its surface."""

import math

import numpy as np
import pytest

import _tidemark as tm
import indicator_reference as ref

I = tm.Indicator
NAN = math.nan
BIG = 1.7976931348623157e308
GAPS = pytest.mark.parametrize("nan_gaps", [False, True], ids=["clean", "nan_gaps"])


def feed(ind, closes, highs=None, lows=None):
    highs, lows = closes if highs is None else highs, closes if lows is None else lows
    return [ind.update_bar(0.0, h, l, c) for h, l, c in zip(highs, lows, closes)]


SEQUENCES = [  # worked by hand: kinds without a batch twin, and rules the batch comparisons miss
    ("sma(0) is sma(1)", lambda: I.sma(0), [1, 2, 3], [1.0, 2.0, 3.0]),
    ("wilder_ma", lambda: I.wilder_ma(2), [1, 3, 5], [None, 2.0, 3.5]),  # seed 2, then 5/2 + 2/2
    ("wma", lambda: I.wma(3), [1, 2, 3, 4], [None, None, 14 / 6, 20 / 6]),  # (1*1 + 2*2 + 3*3) / 6, ...
    ("roc", lambda: I.roc(1), [2, 0, 5], [None, -100.0, -100.0]),  # a zero reference keeps the last value
    ("roc zero first", lambda: I.roc(1), [0, 5, 10], [None, None, 100.0]),
    ("stddev", lambda: I.stddev(2), [1, 3, 3], [None, 1.0, 0.0]),
    ("bollinger NaN", lambda: I.bollinger(2), [1, NAN], [None, (NAN, NAN, NAN)]),  # a tuple, not None
]


@pytest.mark.parametrize("make, closes, want", [pytest.param(m, c, w, id=i) for i, m, c, w in SEQUENCES])
def test_hand_worked_sequences(make, closes, want):
    for got, expected in zip(feed(make(), closes), want, strict=True):
        assert type(got) is type(expected) and (got is None or np.allclose(got, expected, rtol=1e-15, atol=0,
                                                                            equal_nan=True))


def test_bar_kinds_read_high_and_low():
    # ATR: ranges 2, then max(3, |12 - 9|, |9 - 9|) = 3: seed 2.5 on bar 2, where the batch has nothing
    assert feed(I.atr(2), [9, 11], [10, 12], [8, 9]) == [None, 2.5]
    assert np.isnan(tm.atr(np.array([10.0, 12]), np.array([8.0, 9]), np.array([9.0, 11]), 2)).all()
    # a window without numbers reads as the finite extremes
    assert feed(I.donchian(2), [NAN] * 3) == [None, (-BIG, BIG), (-BIG, BIG)]
    # -0.0 ranks below +0.0 either way round, and a NaN of either sign is no number
    values = feed(I.donchian(2), [0.0] * 4, [-0.0, 0.0, -0.0, -NAN], [0.0, -0.0, -NAN, 0.0])
    assert [tuple(math.copysign(1.0, x) for x in v) for v in values[1:]] == [(1.0, -1.0), (1.0, -1.0), (-1.0, 1.0)]


def stream(ind, cols):
    h, l, c, _ = cols
    return [ind.update_bar(cl, hi, lo, cl) for hi, lo, cl in zip(h.tolist(), l.tolist(), c.tolist())]


def column(values, k=None):
    """One column of a stream's values as floats, NaN where there was none."""
    return np.array([NAN if v is None else (v if k is None else v[k]) for v in values])


@GAPS
@pytest.mark.parametrize("period", [1, 2, 14, 50])
def test_ema_rsi_atr_are_bit_identical_to_batch(period, nan_gaps):
    cols = ref.market(3000, seed=period, nan_gaps=nan_gaps)
    h, l, c, _ = cols
    np.testing.assert_array_equal(column(stream(I.ema(period), cols)), tm.ema(c, period))
    np.testing.assert_array_equal(column(stream(I.rsi(period), cols)), tm.rsi(c, period))
    # from the batch's first value on, where the stream has its seed too
    got, batch = column(stream(I.atr(period), cols)), tm.atr(h, l, c, period)
    assert not np.isnan(batch[period - 1]) and np.isnan(batch[:period - 1]).all()
    np.testing.assert_array_equal(got[period - 1:], batch[period - 1:])


@pytest.mark.parametrize("period", [1, 3, 14])
@pytest.mark.parametrize("kind", ["scale_jump", "gapped", "flat", "flats", "flat_then_gap", "payloads"])
def test_atr_of_a_long_series_is_the_single_chain(period, kind):
    # Past tens of thousands of bars the batch ATR runs as chains side by side, each checked against the one
    # before it where it takes over (a jump of 1e300 in the price level fails the checks, and the stretch is taken
    # again bar by bar); a missing bar ends the chains, a flat stretch is held at its fixed point, as the stream
    # holds it. Where a NaN true range meets a NaN average of other bits, which of the two a sum keeps is the
    # compiler's choice: there the stream is asked for a NaN, not for its bits.
    h, l, c = ref.hard_series(kind)
    if kind == "scale_jump":
        for col in (h, l, c):
            col[:20_000] *= 1e-150
            col[20_000:] *= 1e150
    got, batch = column(stream(I.atr(period), [h, l, c, None]))[period - 1:], tm.atr(h, l, c, period)[period - 1:]
    bits = ~np.isnan(batch) | (kind != "payloads")
    assert np.array_equal(np.isnan(got), np.isnan(batch))
    assert np.array_equal(batch.view(np.int64)[bits], got.view(np.int64)[bits])


FUSED_FROM = 2**19  # the length from which the chains take their true ranges from the inputs themselves
STREAMED_FROM = 3 * 2**18  # and from which they write the output past the caches
LONG = FUSED_FROM + 2_048
STREAMED = STREAMED_FROM + 2_048


def long_series(kind, n=LONG):
    """(high, low, close) of n bars with a flat stretch or missing bars where the chains meet them: in the
    middle of the second quarter, at the start of every quarter (where a chain takes over), from a third of the
    way on to the end, late in the second and fourth quarters (and a missing bar later), across the first
    quarter's end, or late in the first quarter and early in the third; or a drop in the price level by 1e300
    late in the first quarter, which fails the second chain's check (with a flat stretch where the fourth takes
    over, or without)."""
    h, l, c = ref.hard_series("walk", n=n)
    q = n // 4

    def hold(start, stop):
        h[start:stop] = l[start:stop] = c[start:stop] = c[start - 1]

    if kind == "flat_middle":
        hold(q + q // 3, q + q // 2)
    elif kind == "flats_at_quarters":
        for k, (before, after) in enumerate([(2_000, 3_000), (100, 1_500), (-50, 4_000)], start=1):
            hold(k * q - before, k * q + after)
    elif kind == "flat_end":
        hold(n // 3, n)
    elif kind == "flats_late":  # late in the second quarter and later still in the fourth
        hold(q + 3 * q // 5, q + 3 * q // 5 + 30_000)
        hold(3 * q + 4 * q // 5, 3 * q + 4 * q // 5 + 20_000)
    elif kind == "flat_late_then_missing":  # the chains go on past the flat stretch and meet a missing bar
        hold(q + 3 * q // 5, q + 3 * q // 5 + 30_000)
        h[3 * q + 9 * q // 10] = l[3 * q + 9 * q // 10] = NAN
    elif kind == "flat_across_quarter":  # held past its fixed point, from mid-first quarter into the second
        hold(q // 2, q + q // 2)
    elif kind == "missing_late":
        h[q - 9_000], l[q - 9_000] = NAN, NAN
    elif kind == "missing_third_quarter":
        c[2 * q + 700] = NAN
    elif kind == "payloads":
        nans = np.array([0x7FF8000000000123, 0xFFF8000000000456], np.uint64).view(np.float64)
        h[q + 7], l[q + 7], h[3 * q], l[3 * q], c[3 * q - 1] = nans[0], nans[0], nans[1], nans[1], NAN
    elif kind.startswith("scale_drop"):  # a chain still at the old level where the second one takes over
        for col in (h, l, c):
            col[:q - 30_000] *= 1e150
            col[q - 30_000:] *= 1e-150
        if kind == "scale_drop_then_flat":  # and the fourth chain takes over in a flat stretch
            hold(3 * q - 5_000, 3 * q + 30_000)
    return h, l, c


@pytest.mark.parametrize("n, period",
                         [(LONG, 2), (LONG, 3), (LONG, 14), (LONG, 500), (STREAMED, 3), (STREAMED, 500)])
@pytest.mark.parametrize("kind", ["walk", "flat_middle", "flats_at_quarters", "flat_end", "flats_late",
                                  "flat_late_then_missing", "flat_across_quarter", "missing_late",
                                  "missing_third_quarter", "payloads", "scale_drop",
                                  "scale_drop_then_flat"])
def test_atr_of_a_series_past_the_cache_is_the_single_chain(n, period, kind):
    # Against the series' first n - 2,049 bars, whose ATR is the first values of the whole series', then the
    # single chain stepped on from there (a stream of every bar costs seconds in a sanitized build). For LONG
    # bars those are FUSED_FROM - 1, whose ATR is checked against the stream above; for STREAMED bars,
    # STREAMED_FROM - 1, checked here at LONG bars.
    h, l, c = long_series(kind, n)
    m = n - 2_049
    v, a = tm.atr(h[:m], l[:m], c[:m], period), 1.0 / period
    tail = []
    for x in ref.true_ranges(h[m - 1:], l[m - 1:], c[m - 1:])[1:]:
        v_last = tail[-1] if tail else v[-1]
        tail.append(a * x + (1.0 - a) * v_last)
    want = np.concatenate([v, tail])[period - 1:]
    # The output's storage is reused from call to call: after a result of NaN and after one of numbers alike.
    results = []
    for prime in (np.full(n, NAN), ref.hard_series("walk", n=n, seed=3)[2]):
        tm.atr(prime, prime, prime, period)
        results.append(tm.atr(h, l, c, period)[period - 1:])
    assert results[0].tobytes() == results[1].tobytes()
    batch = results[0]
    bits = ~np.isnan(batch) | (kind != "payloads")
    assert np.array_equal(np.isnan(want), np.isnan(batch))
    assert np.array_equal(batch.view(np.int64)[bits], want.view(np.int64)[bits])


def test_atr_of_a_long_period_with_a_bar_missing_near_the_end():
    # Millions of bars at a period of 17,000: the missing bar stops the chains late in the last one's stretch,
    # and the stretch left before it is longer than a chunk but shorter than a chain's warm-up.
    n, p = 6_000_000, 17_000
    c = 100.0 + (np.arange(n) % 7) * 0.25
    h, l = c + 1.0, c - 0.5
    m = n - 66_000
    h[m] = l[m] = c[m] = NAN
    got = tm.atr(h, l, c, p)
    assert np.isnan(got[m:]).all()
    assert got[:m].tobytes() == tm.atr(h[:m], l[:m], c[:m], p).tobytes()


def test_donchian_window_longer_than_its_first_storage():
    # A falling high keeps every value of the window a candidate for the maximum.
    high = np.linspace(10_000.0, 1.0, 6_000)
    low = high - 1.0
    values = stream(I.donchian(5_000), [high, low, high, None])
    for k, batch in ((0, tm.rolling_max(high, 5_000)), (1, tm.rolling_min(low, 5_000))):
        np.testing.assert_array_equal(column(values, k)[4_999:], batch[4_999:])


@GAPS
@pytest.mark.parametrize("fast, slow, signal", [(12, 26, 9), (2, 3, 1), (5, 30, 20)])
def test_macd_is_bit_identical_from_the_first_signal_value(fast, slow, signal, nan_gaps):
    cols = ref.market(2000, seed=fast + slow, nan_gaps=nan_gaps)
    first = slow + signal - 2
    values, batch = stream(I.macd(fast, slow, signal), cols), tm.macd(cols[2], fast, slow, signal)
    assert values[first - 1] is None and values[first] is not None
    for k in range(3):
        np.testing.assert_array_equal(column(values, k)[first:], batch[k][first:])


@pytest.mark.parametrize("fast, slow, signal", [(26, 12, 9), (5, 5, 3), (0, 0, 0)])
def test_macd_first_value_comes_once_both_lines_and_the_signal_exist(fast, slow, signal):
    """Also when fast >= slow, which the stream accepts: bar max(fast, slow) + signal - 1."""
    first_bar = max(fast, slow, 1) + max(signal, 1) - 1
    values = feed(I.macd(fast, slow, signal), np.linspace(10.0, 20.0, first_bar + 2).tolist())
    assert values[:first_bar - 1] == [None] * (first_bar - 1)
    assert all(type(v) is tuple and len(v) == 3 for v in values[first_bar - 1:])


@GAPS
@pytest.mark.parametrize("period", [1, 3, 20, 120])
def test_sma_and_bollinger_agree_with_batch_up_to_rounding(period, nan_gaps):
    cols = ref.market(4000, seed=period, nan_gaps=nan_gaps)
    np.testing.assert_allclose(column(stream(I.sma(period), cols)), tm.sma(cols[2], period), rtol=1e-12, atol=0)
    upper, middle, lower = tm.bollinger_bands(cols[2], period, 2.0)
    boll = stream(I.bollinger(period, 2.0), cols)
    for k, batch in enumerate((middle, upper, lower)):  # (middle, upper, lower) in the stream
        np.testing.assert_allclose(column(boll, k), batch, rtol=1e-10, atol=0)


@pytest.mark.parametrize("period", [1, 4, 30])
def test_donchian_is_rolling_max_and_min(period):
    cols = ref.market(1000, seed=period, nan_gaps=True)
    values = stream(I.donchian(period), cols)
    for k, batch in ((0, tm.rolling_max(cols[0], period)), (1, tm.rolling_min(cols[1], period))):
        got, known = column(values, k), ~np.isnan(batch)
        assert np.all(np.abs(got[~known & ~np.isnan(got)]) == BIG)  # no numbers: the finite extremes
        np.testing.assert_array_equal(got[known], batch[known])


KINDS = {
    "sma": lambda: I.sma(3), "ema": lambda: I.ema(3), "wilder_ma": lambda: I.wilder_ma(3),
    "wma": lambda: I.wma(3), "roc": lambda: I.roc(3), "stddev": lambda: I.stddev(3), "rsi": lambda: I.rsi(3),
    "atr": lambda: I.atr(3), "donchian": lambda: I.donchian(3), "bollinger": lambda: I.bollinger(3, 1.5),
    "macd": lambda: I.macd(2, 4, 3),
}


def exact(v):
    """A value's exact bits, holding no reference to its objects."""
    return None if v is None else tuple(map(float.hex, v)) if isinstance(v, tuple) else float.hex(v)


@pytest.mark.parametrize("kind", KINDS)
def test_state_reset_and_values_handed_out(kind):
    ind, (h, l, c, _) = KINDS[kind](), ref.market(60, seed=9, nan_gaps=True)
    assert ind.kind == kind and repr(ind) == f"Indicator(kind={kind})"
    assert ind.value is None and ind.initialized is False
    want = [exact(v) for v in feed(ind, c, h, l)]  # NumPy scalars (a float subclass) take the general path
    assert ind.initialized is True and exact(ind.value) == want[-1] and want[0] is None and None not in want[10:]
    assert ind.reset() is None and ind.value is None and ind.initialized is False and ind.kind == kind
    # plain floats take the direct path: a loop dropping each value gets the same numbers, and what
    # it keeps (a value, or one number of a tuple) never changes afterwards
    got, kept = [], {}
    for i, (hi, lo, cl) in enumerate(zip(h.tolist(), l.tolist(), c.tolist())):
        v = ind.update_bar(0.0, hi, lo, cl)
        got.append(exact(v))
        if i % 5 == 0:
            kept[i] = (v, exact(v))
        elif i % 5 == 2 and isinstance(v, tuple):
            kept[i] = (v[-1], want[i][-1])
        del v
    assert got == want and exact(ind.value) == want[-1]
    assert all(exact(v) == bits for v, bits in kept.values())


def test_class_surface_and_arguments():
    docs = {
        "wilder_ma": "Wilder-smoothed moving average (alpha = 1/period).", "reset": "Forget all state.",
        "roc": "Rate of change over `period` bars, in percent.", "stddev": "Rolling population standard deviation.",
        "donchian": "Highest-high / lowest-low channel; value is `(upper, lower)`.",
        "bollinger": "Bollinger bands; value is `(middle, upper, lower)`.",
        "macd": "MACD; value is `(macd, signal, histogram)`.",
        "update_bar": "Feed one bar. Price-series cores consume the close; bar cores (atr,\n"
                      "donchian) consume high/low/close. Returns the new value, if warm.",
        "value": "Latest value (`None` during warmup).", "initialized": "Whether the warmup period has completed.",
    }
    assert {name: getattr(I, name).__doc__ for name in docs} == docs
    assert I.bollinger.__text_signature__ == "(period, k=2.0)"
    assert I.macd.__text_signature__ == "(fast=12, slow=26, signal=9)"
    assert I.update_bar.__text_signature__ == "($self, _open, high, low, close)"
    assert I.atr(1).update_bar(close=3, low=1, high=4, _open=0) == 3.0  # keywords leave the direct path


def test_reentrant_use_is_refused():
    ind = I.sma(2)

    class Sneaky:
        def __float__(self):  # plain floats while the object is held: the direct path must refuse too
            return ind.update_bar(0.0, 0.0, 0.0, 0.0) or 0.0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        ind.update_bar(0.0, 0.0, 0.0, Sneaky())


def test_huge_periods_cost_nothing_until_data_arrives():
    for make in (I.sma, I.roc, I.donchian, lambda p: I.macd(p, p, p)):
        assert feed(make(2**64 - 1), [1.0] * 100) == [None] * 100
