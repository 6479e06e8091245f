"""Per-tick features and the tick entry and exit signals.

The windowed features are checked against references written here with Python's bisect module,
whose bisection is the same on out-of-order timestamps too; the rest by hand.
"""

import bisect
import math

import numpy as np
import pytest

import _tidemark as tm
from portfolio_util import f64, i64

NS = 10**9
NAN = float("nan")


def entries(spread, bsi=(), ret=(), **kw):
    out = tm.compute_tick_entry_signals(f64(*spread), f64(*bsi), f64(*ret), **kw)
    assert out.dtype == np.bool_ and len(out) == len(spread)
    return np.flatnonzero(out).tolist()


# --- entry and exit signals ---------------------------------------------------------------------

@pytest.mark.parametrize("cooldown, want", [(10, [0, 11, 22]), (0, list(range(30))), (28, [0, 29]),
                                            (2**64 - 1, [0]), (2**63, [0])])
def test_cooldown_spaces_entries(cooldown, want):
    assert entries([1.0] * 30, cooldown_ticks=cooldown) == want


# |r| >= 0.5 and the sign the direction asks for; NaN always fails; 0.3 is too small.
@pytest.mark.parametrize("direction, want", [(1, [1]), (5, [1]), (-1, [0]), (-128, [0]), (0, [0, 1])])
def test_return_gate_by_direction(direction, want):
    got = entries([1.0] * 4, ret=[-0.7, 0.7, NAN, 0.3], return_1m_min_abs=0.5, return_direction=direction,
                  cooldown_ticks=0)
    assert got == want


@pytest.mark.parametrize("spread, kw, arrays, want", [
    # gates that are off read nothing: their arrays may be empty, and a NaN return fails only when its gate is on
    ([1.0, 1.0], {"return_direction": -1}, {}, [0, 1]),
    ([1.0, 1.0], {}, {"ret": [NAN, NAN]}, [0, 1]),
    ([1.0] * 4, {"bsi_min": 0.6}, {"bsi": [0.55, NAN, 0.6, 0.9]}, [1, 2, 3]),   # NaN passes the BSI gate
    ([1.0] * 4, {"bsi_min": 0.6}, {"bsi": [0.9, 0.9]}, [0, 1]),                 # beyond a short array: never
    ([1.0] * 4, {"return_1m_min_abs": 0.1}, {"ret": [0.5]}, [0]),
    ([0.1, 0.0, -1.0, NAN], {"spread_pct_max": 0.0}, {}, [1, 2, 3]),           # 0.0 is a real limit
    ([5.0, 5.01, NAN, 4.0], {}, {}, [0, 2, 3]),                                 # default limit 5; NaN passes
])
def test_spread_bsi_and_return_gates(spread, kw, arrays, want):
    assert entries(spread, cooldown_ticks=0, **kw, **arrays) == want


def test_entry_argument_ranges():
    x = f64(1.0)
    with pytest.raises(OverflowError):
        tm.compute_tick_entry_signals(x, x, x, return_direction=128)
    with pytest.raises(OverflowError):
        tm.compute_tick_entry_signals(x, x, x, cooldown_ticks=-1)
    with pytest.raises(TypeError, match="^argument 'bsi_delta': "):
        tm.compute_tick_entry_signals(x, [1.0], x)
    assert tm.compute_tick_entry_signals(x, x, x, 5, 0, 0, 1, 0).tolist() == [True]  # ints for floats


@pytest.mark.parametrize("eod, want", [(0, []), (30, [2, 3]), (31, [3]), (-5, [0, 1, 2, 3]), (10**18, [])])
def test_exit_signals(eod, want):
    out = tm.compute_tick_exit_signals(i64(10, 20, 30, 40), eod)
    assert out.dtype == np.bool_ and np.flatnonzero(out).tolist() == want
    if eod == 0:
        assert not tm.compute_tick_exit_signals(i64(-1, 0, 1)).any()


# --- spread, BSI, open interest ----------------------------------------------------------------------

def test_spread_pct():
    got = tm.tick_spread_pct(f64(99, 0, 0, NAN, -3, 100), f64(101, 0, 1, 1, 1))
    np.testing.assert_array_equal(got, [2.0, 0.0, 200.0, 0.0, 0.0])   # the shorter length


def test_buy_sell_imbalance():
    np.testing.assert_array_equal(tm.buy_sell_imbalance_delta(f64(0, 10, 10), f64(0, 0, 30)), [0.5, 1.0, 0.0])
    # a falling total (a reset) and a NaN step are no flow; 3 bought against 1 sold is 0.75
    got = tm.buy_sell_imbalance_delta(f64(50, 5, 8, NAN, 4), f64(50, 0, 1, 2, 2))
    np.testing.assert_array_equal(got, [0.5, 0.5, 0.75, 0.0, 0.5])
    np.testing.assert_array_equal(tm.buy_sell_imbalance_delta(f64(3), f64(9)), [0.5])


@pytest.mark.parametrize("fn, args", [
    (tm.buy_sell_imbalance_delta, (f64(1, 2, 3), f64(1, 2))),
    (tm.buy_sell_imbalance_delta, (f64(1), f64())),
    (tm.return_window, (i64(1, 2, 3), f64(1, 2))),
    (tm.return_window, (i64(1, 2), f64(1, 2, 3))),
    (tm.realized_vol_rolling, (i64(1, 2, 3), f64(1, 2))),
])
def test_unequal_tick_arrays_are_refused(fn, args):
    with pytest.raises(ValueError, match="^all input arrays must share one length$"):
        fn(*args)


@pytest.mark.parametrize("high, low, want", [(200, 100, [50.0, 150.0, -10.0, 0.0]),
                                             (100, 100, [NAN] * 4), (90, 100, [NAN] * 4),
                                             (NAN, 100, [NAN] * 4)])
def test_oi_position(high, low, want):
    np.testing.assert_array_equal(tm.oi_position_pct(f64(150, 250, 90, 100), high, low), want)


# --- windowed features ----------------------------------------------------------------------------------

def window_ns(seconds):
    if math.isnan(seconds):
        return 0
    return max(-(2**63), min(2**63 - 1, int(seconds * 1e9)))


def edge(seconds, t):
    return max(-(2**63), min(2**63 - 1, t - window_ns(seconds)))


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
        if s == i:
            continue
        r = [math.log(ltp[k] / ltp[k - 1]) for k in range(s + 1, i + 1) if ltp[k - 1] > 0 and ltp[k] > 0]
        if len(r) >= 2:
            mean = sum(r, -0.0) / len(r)
            out[i] = math.sqrt(sum((x - mean) ** 2 for x in r) / (len(r) - 1)) * 100.0
    return out


def ref_velocity(ts, w):
    minutes = w / 60.0
    if not minutes > 0:
        return [0.0] * len(ts)
    return [0.0] + [(i + 1 - bisect.bisect_right(ts, edge(w, ts[i]), 0, i)) / minutes for i in range(1, len(ts))]


def tick_data(seed, n, ordered=True):
    rng = np.random.default_rng(seed)
    ts = np.cumsum(rng.integers(0, 3 * NS, n))          # repeated timestamps included
    if not ordered:
        swap = rng.integers(0, n, n // 10)
        ts[swap] = ts[swap[::-1]]
    ltp = 100 * np.exp(rng.normal(0, 0.002, n).cumsum())
    ltp[rng.integers(0, n, n // 20)] = 0.0                  # ticks without a price
    ltp[rng.integers(0, n, 3)] = NAN
    return ts, ltp


@pytest.mark.parametrize("ordered", [True, False])
@pytest.mark.parametrize("window", [60.0, 7.5, 0.0, NAN, -4.0])
def test_windowed_features_match_their_rules(ordered, window):
    ts, ltp = tick_data(abs(int(window)) if window == window else 9, 600, ordered)
    t, p = ts.tolist(), ltp.tolist()
    np.testing.assert_allclose(tm.return_window(ts, ltp, window), ref_return(t, p, window), rtol=1e-13)
    np.testing.assert_allclose(tm.realized_vol_rolling(ts, ltp, window), ref_vol(t, p, window), rtol=1e-12)
    np.testing.assert_allclose(tm.tick_velocity(ts, window), ref_velocity(t, window), rtol=1e-15)


def test_windowed_features_by_hand():
    ts = np.arange(100, dtype=np.int64) * NS
    ltp = 100.0 + np.arange(100.0)
    ret = tm.return_window(ts, ltp)
    assert np.isnan(ret[:60]).all()
    assert ret[60] == pytest.approx(60.0)                # 160 against 100
    assert ret[99] == pytest.approx((199 - 139) / 139 * 100)
    vel = tm.tick_velocity(ts)
    assert vel[0] == 0.0 and vel[1] == 2.0 and vel[59] == 60.0
    assert (vel[60:] == 60.0).all()
    assert tm.tick_velocity(ts, 30.0)[40] == 60.0         # 30 ticks in half a minute


def test_realized_vol_of_a_round_trip():
    ts = i64(0, NS, 2 * NS)
    got = tm.realized_vol_rolling(ts, f64(100, 101, 100))
    assert np.isnan(got[:2]).all()
    r = np.log([101 / 100, 100 / 101])
    assert got[2] == pytest.approx(np.std(r, ddof=1) * 100, rel=1e-12)
    assert got[2] == pytest.approx(math.sqrt(2) * math.log(1.01) * 100, rel=1e-12)


def test_a_tick_without_a_price_is_missing_data():
    ts = np.arange(6, dtype=np.int64) * NS
    ltp = f64(100, 101, 0, 102, -1, 103)
    ret = tm.return_window(ts, ltp, 1.0)
    np.testing.assert_allclose(ret, [NAN, 1.0, NAN, NAN, NAN, NAN], equal_nan=True)
    vol = tm.realized_vol_rolling(ts, ltp, 100.0)
    # only the pair 100 -> 101 has two prices until the end: never two returns
    assert np.isnan(vol).all()
    # usable pairs end at ticks 1, 4 and 5: two returns from tick 4 on
    vol = tm.realized_vol_rolling(ts, f64(100, 101, 0, 102, 103, 104), 100.0)
    r = np.log([101 / 100, 103 / 102, 104 / 103])
    assert np.isnan(vol[:4]).all()
    assert vol[4] == pytest.approx(np.std(r[:2], ddof=1) * 100, rel=1e-12)
    assert vol[5] == pytest.approx(np.std(r, ddof=1) * 100, rel=1e-12)


def test_edge_sizes():
    e64, e = np.zeros(0, np.int64), np.zeros(0)
    for out in (tm.return_window(e64, e), tm.realized_vol_rolling(e64, e), tm.tick_velocity(e64),
                tm.buy_sell_imbalance_delta(e, e), tm.tick_spread_pct(e, e), tm.oi_position_pct(e, 2, 1),
                tm.compute_tick_entry_signals(e, e, e), tm.compute_tick_exit_signals(e64, 5)):
        assert len(out) == 0
    one, p = i64(7), f64(100.0)
    assert np.isnan(tm.return_window(one, p)).all() and np.isnan(tm.realized_vol_rolling(one, p)).all()
    assert tm.tick_velocity(one).tolist() == [0.0]


def test_huge_windows_saturate():
    ts = i64(-(2**63), 0, 2**63 - 1)
    ltp = f64(100, 110, 121)
    # Edges stay inside the int64 range: the last tick's edge is 0 (the middle tick) with the widest
    # window, and the top of the range with the most negative one; a wrapped edge (-1) would pick tick 0.
    np.testing.assert_allclose(tm.return_window(ts, ltp, 1e300), [NAN, 10.0, 10.0], equal_nan=True)
    np.testing.assert_allclose(tm.return_window(ts, ltp, -1e300), [NAN, 10.0, 10.0], equal_nan=True)
    np.testing.assert_allclose(tm.tick_velocity(ts, 1e300), [0.0, 60 / 1e300, 60 / 1e300], rtol=1e-15)
    np.testing.assert_array_equal(tm.tick_velocity(ts, math.inf), [0.0, 0.0, 0.0])
