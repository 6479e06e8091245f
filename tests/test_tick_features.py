"""Per-tick features and the tick entry and exit signals; windowed features against references using
Python's bisect, which bisects out-of-order timestamps the same way."""

import bisect
import math

import numpy as np
import pytest

import _tidemark as tm
from portfolio_util import f64, i64

NS, NAN = 10**9, float("nan")


@pytest.mark.parametrize("spread, kw, want", [
    *[([1.0] * 30, {"cooldown_ticks": c}, w) for c, w in [(10, [0, 11, 22]), (0, list(range(30))), (28, [0, 29]),
                                                            (2**64 - 1, [0]), (2**63, [0])]],
    # |r| >= 0.5 and the sign the direction asks for; NaN always fails; 0.3 is too small
    *[([1.0] * 4, {"ret": [-0.7, 0.7, NAN, 0.3], "return_1m_min_abs": 0.5, "return_direction": d}, w)
      for d, w in [(5, [1]), (-128, [0]), (0, [0, 1])]],  # the sign counts
    # gates that are off read nothing: their arrays may be empty, and a NaN return fails only when its gate is on
    ([1.0, 1.0], {"return_direction": -1}, [0, 1]),
    ([1.0, 1.0], {"ret": [NAN, NAN]}, [0, 1]),
    ([1.0] * 4, {"bsi_min": 0.6, "bsi": [0.55, NAN, 0.6, 0.9]}, [1, 2, 3]),  # NaN passes the BSI gate
    ([1.0] * 4, {"bsi_min": 0.6, "bsi": [0.9, 0.9]}, [0, 1]),                # beyond a short array: never
    ([1.0] * 4, {"return_1m_min_abs": 0.1, "ret": [0.5]}, [0]),
    ([0.1, 0.0, -1.0, NAN], {"spread_pct_max": 0.0}, [1, 2, 3]),            # 0.0 is a real limit
    ([5.0, 5.01, NAN, 4.0], {}, [0, 2, 3]),                                  # default limit 5; NaN passes
])
def test_entry_gates(spread, kw, want):
    kw = {"cooldown_ticks": 0, **kw}
    bsi, ret = f64(*kw.pop("bsi", ())), f64(*kw.pop("ret", ()))
    out = tm.compute_tick_entry_signals(f64(*spread), bsi, ret, **kw)
    assert out.dtype == np.bool_ and np.flatnonzero(out).tolist() == want


@pytest.mark.parametrize("eod, want", [(0, []), (30, [2, 3]), (31, [3]), (-5, [0, 1, 2, 3])])
def test_exit_signals(eod, want):
    out = tm.compute_tick_exit_signals(i64(10, 20, 30, 40), eod)
    assert out.dtype == np.bool_ and np.flatnonzero(out).tolist() == want
    assert not tm.compute_tick_exit_signals(i64(-1, 0, 1)).any()


@pytest.mark.parametrize("fn, args", [(tm.tick_spread_pct, (f64(99, 0, 0, NAN, -3, 100), f64(101, 0, 1, 1, 1))),
                                      (tm.tick_spread_pct, (f64(), f64(1))),
                                      (tm.buy_sell_imbalance_delta, (f64(1), f64())),
                                      (tm.return_window, (i64(1, 2), f64(1, 2, 3))),
                                      (tm.realized_vol_rolling, (i64(1, 2, 3), f64(1, 2)))])
def test_unequal_lengths_are_refused(fn, args):
    with pytest.raises(ValueError, match="^all input arrays must share one length$"):
        fn(*args)


def test_spread_imbalance_and_open_interest_by_hand():
    np.testing.assert_array_equal(tm.tick_spread_pct(f64(99, 0, 0, NAN, -3), f64(101, 0, 1, 1, 1)),
                                  [2.0, 0.0, 200.0, 0.0, 0.0])
    np.testing.assert_array_equal(tm.buy_sell_imbalance_delta(f64(0, 10, 10), f64(0, 0, 30)), [0.5, 1.0, 0.0])
    # a falling total (a reset) and a NaN step are no flow; 3 bought against 1 sold is 0.75
    np.testing.assert_array_equal(tm.buy_sell_imbalance_delta(f64(50, 5, 8, NAN, 4), f64(50, 0, 1, 2, 2)),
                                  [0.5, 0.5, 0.75, 0.0, 0.5])
    np.testing.assert_array_equal(tm.buy_sell_imbalance_delta(f64(3), f64(9)), [0.5])
    oi = f64(150, 250, 90, 100)
    np.testing.assert_array_equal(tm.oi_position_pct(oi, 200, 100), [50.0, 150.0, -10.0, 0.0])
    for high, low in ((100, 100), (90, 100), (NAN, 100)):
        assert np.isnan(tm.oi_position_pct(oi, high, low)).all()


def edge(seconds, t):
    window = 0 if math.isnan(seconds) else max(-(2**63), min(2**63 - 1, int(seconds * 1e9)))
    return max(-(2**63), min(2**63 - 1, t - window))


def ref_return(ts, ltp, w):
    out = [NAN] * len(ts)
    for i in range(1, len(ts)):
        c = bisect.bisect_right(ts, edge(w, ts[i]), 0, i)
        if c and ltp[c - 1] > 0 and ltp[i] > 0:
            out[i] = (ltp[i] - ltp[c - 1]) / ltp[c - 1] * 100.0
    return out


def ref_vol(ts, ltp, w):
    out = [NAN] * len(ts)
    for i in range(1, len(ts)):
        s = bisect.bisect_left(ts, edge(w, ts[i]), 0, i)
        r = [math.log(ltp[k] / ltp[k - 1]) for k in range(s + 1, i + 1) if ltp[k - 1] > 0 and ltp[k] > 0]
        if s < i and len(r) >= 2:
            mean = sum(r, -0.0) / len(r)
            out[i] = math.sqrt(sum((x - mean) ** 2 for x in r) / (len(r) - 1)) * 100.0
    return out


def ref_velocity(ts, w):
    if not w / 60.0 > 0:
        return [0.0] * len(ts)
    return [0.0] + [(i + 1 - bisect.bisect_right(ts, edge(w, ts[i]), 0, i)) / (w / 60.0) for i in range(1, len(ts))]


@pytest.mark.parametrize("ordered", [True, False])
@pytest.mark.parametrize("window", [60.0, 7.5, 0.0, NAN, -4.0])
def test_windowed_features_match_their_rules(ordered, window):
    rng = np.random.default_rng(abs(int(window)) if window == window else 9)
    ts = np.cumsum(rng.integers(0, 3 * NS, 600))  # repeated timestamps included
    if not ordered:
        swap = rng.integers(0, 600, 60)
        ts[swap] = ts[swap[::-1]]
    ltp = 100 * np.exp(rng.normal(0, 0.002, 600).cumsum())
    ltp[rng.integers(0, 600, 30)] = 0.0  # ticks without a price
    ltp[rng.integers(0, 600, 5)] = -1.0
    ltp[rng.integers(0, 600, 3)] = NAN
    t, p = ts.tolist(), ltp.tolist()
    np.testing.assert_allclose(tm.return_window(ts, ltp, window), ref_return(t, p, window), rtol=1e-13)
    np.testing.assert_allclose(tm.realized_vol_rolling(ts, ltp, window), ref_vol(t, p, window), rtol=1e-12)
    np.testing.assert_allclose(tm.tick_velocity(ts, window), ref_velocity(t, window), rtol=1e-15)


def test_default_windows():
    ts, ltp = np.arange(400, dtype=np.int64) * NS, 100 + np.sin(np.arange(400.0))
    for fn, window in ((tm.return_window, 60.0), (tm.realized_vol_rolling, 300.0)):
        np.testing.assert_array_equal(fn(ts, ltp), fn(ts, ltp, window))
    np.testing.assert_array_equal(tm.tick_velocity(ts), tm.tick_velocity(ts, 60.0))


def test_edge_sizes_and_huge_windows():
    e64, e = np.zeros(0, np.int64), np.zeros(0)
    for out in (tm.return_window(e64, e), tm.realized_vol_rolling(e64, e), tm.tick_velocity(e64),
                tm.buy_sell_imbalance_delta(e, e), tm.tick_spread_pct(e, e), tm.oi_position_pct(e, 2, 1),
                tm.compute_tick_entry_signals(e, e, e), tm.compute_tick_exit_signals(e64, 5)):
        assert len(out) == 0
    # Edges stay inside int64: the last tick's edge is 0 (the middle tick) with the widest window, and
    # the top of the range with the most negative one; a wrapped edge (-1) would pick tick 0.
    ts, ltp = i64(-(2**63), 0, 2**63 - 1), f64(100, 110, 121)
    for w in (1e300, -1e300):
        np.testing.assert_allclose(tm.return_window(ts, ltp, w), [NAN, 10.0, 10.0], equal_nan=True)
    np.testing.assert_allclose(tm.tick_velocity(ts, 1e300), [0.0, 60 / 1e300, 60 / 1e300], rtol=1e-15)
    np.testing.assert_array_equal(tm.tick_velocity(ts, math.inf), [0.0, 0.0, 0.0])
