"""Bar aggregation: units, the five builders, aggregate_bars, bars_from_ticks and BarAggregator.

Expected stamps come from NumPy's datetime64 arithmetic or are written out by hand; the count
and flow builders are checked against small reference models written here from their rules.
"""

import math

import numpy as np
import pytest

import _tidemark as tm
from indicator_reference import max_num, min_num

NS = 10**9
MINUTE = 60 * NS
DAY = 86_400 * NS
IST = 19_800 * NS
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)
NAN = float("nan")


def ns(iso):
    return int(np.datetime64(iso, "ns").astype(np.int64))


def columns(rows):
    """Bar arrays from (ts, open, high, low, close, volume) rows."""
    rows = list(rows)
    ts = np.array([r[0] for r in rows], dtype=np.int64)
    return (ts,) + tuple(np.array([r[k] for r in rows], dtype=np.float64) for k in range(1, 6))


def as_rows(arrays):
    return list(zip(*(a.tolist() for a in arrays)))


def drive(agg, rows, trade=False):
    """Every bar a streaming aggregator gives, draining held-back bars after each push."""
    out = []
    for r in rows:
        bar = agg.push_trade(*r) if trade else agg.push_bar(*r)
        if bar is not None:
            out.append(bar)
        while (held := agg.next_pending()) is not None:
            out.append(held)
    last = agg.flush()
    if last is not None:
        out.append(last)
    return out


def same_bars(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert g[0] == w[0]
        np.testing.assert_array_equal(np.array(g[1:], dtype=float), np.array(w[1:], dtype=float))


def flat(ts, price, volume=1.0):
    return (ts, price, price, price, price, volume)


# --- units and construction -------------------------------------------------------------------

TIME_TEXTS = [("ms", 10**6), ("millisecond", 10**6), ("s", NS), ("sec", NS), ("second", NS),
              ("m", MINUTE), ("min", MINUTE), ("minute", MINUTE), ("h", 3600 * NS), ("hour", 3600 * NS),
              ("d", DAY), ("day", DAY), ("w", 7 * DAY), ("week", 7 * DAY)]


@pytest.mark.parametrize("text, unit_ns", TIME_TEXTS)
def test_time_unit_texts_set_the_window_width(text, unit_ns):
    agg = tm.BarAggregator(3, text)
    assert agg.push_bar(*flat(0, 1.0)) is None
    assert agg.flush()[0] == 3 * unit_ns
    assert (agg.step, agg.unit) == (3, text)


@pytest.mark.parametrize("text, stamp", [("month", "2024-03-01"), ("y", "2025-01-01"), ("year", "2025-01-01")])
def test_calendar_unit_texts(text, stamp):
    agg = tm.BarAggregator(1, text)
    agg.push_bar(*flat(ns("2024-02-10T12:00"), 1.0))
    assert agg.flush()[0] == ns(stamp)


# Records of close 0.5 and volume 3 against a threshold of 3: the tick count completes every
# third record, the volume every record, the value (1.5 each) every second record.
@pytest.mark.parametrize("text, completes", [("tick", [0, 0, 1, 0, 0, 1]), ("volume", [1] * 6),
                                             ("value", [0, 1] * 3)])
def test_count_unit_texts(text, completes):
    agg = tm.BarAggregator(3, text)
    got = [agg.push_bar(*flat(k, 0.5, 3.0)) is not None for k in range(6)]
    assert got == [bool(c) for c in completes]


@pytest.mark.parametrize("text", ["M", "mins", " m", "m ", "", "Minute", "secs", "months", "MONTH", "Y", "Renko",
                                  "tick-imbalance", "ticks", "mo"])
@pytest.mark.parametrize("step", [0, 1])
def test_unknown_unit_is_reported_before_the_step(text, step):
    want = f'unknown aggregation unit "{text}"'
    with pytest.raises(ValueError) as exc:
        tm.BarAggregator(step, text)
    assert str(exc.value) == want
    with pytest.raises(ValueError) as exc:
        tm.aggregate_bars(*columns([]), step, text)
    assert str(exc.value) == want


def test_step_rules():
    with pytest.raises(ValueError, match=r"^aggregation step must be >= 1$"):
        tm.BarAggregator(0, "m")
    with pytest.raises(ValueError, match=r"^aggregation step must be >= 1$"):
        tm.bars_from_ticks(np.zeros(0, np.int64), np.zeros(0), np.zeros(0), np.zeros(0), 0, "tick")
    for step in (-1, 2**32):
        with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
            tm.BarAggregator(step, "m")


# The widest windows that still fit in int64 nanoseconds, and one step more.
@pytest.mark.parametrize("unit, widest", [("m", 153_722_867), ("h", 2_562_047), ("d", 106_751), ("w", 15_250)])
def test_step_too_wide_for_the_nanosecond_range_is_refused(unit, widest):
    tm.BarAggregator(widest, unit)
    with pytest.raises(ValueError) as exc:
        tm.BarAggregator(widest + 1, unit)
    assert str(exc.value) == "invalid builder parameter: step too large for unit"


@pytest.mark.parametrize("brick", [0.0, -5.0, NAN])
def test_renko_brick_not_above_zero_falls_back_to_the_step(brick):
    # Brick 3: close 10 anchors at 9; 12.5 is one brick up (a brick of 1 would make three).
    out = as_rows(tm.aggregate_bars(*columns([flat(1, 10.0), flat(2, 12.5)]), 3, "renko", brick_size=brick))
    assert out == [(2, 9.0, 12.0, 9.0, 12.0, 1.0)]


def test_infinite_brick_is_refused_only_for_renko():
    with pytest.raises(ValueError) as exc:
        tm.BarAggregator(1, "renko", brick_size=math.inf)
    assert str(exc.value) == "invalid builder parameter: brick_size must be finite and > 0"
    tm.BarAggregator(1, "tick", brick_size=math.inf)
    tm.BarAggregator(1, "renko", brick_size=-math.inf)  # not above 0: the step


# --- time bars ------------------------------------------------------------------------------------

def test_time_window_end_stamps_and_boundary():
    agg = tm.BarAggregator(60, "s")
    assert agg.push_bar(0, 1.0, 2.0, 0.5, 1.5, 10.0) is None
    assert agg.push_bar(30 * NS, 1.5, 3.0, 1.0, 2.0, 5.0) is None
    assert agg.push_bar(59_999_000_000, 2.0, 2.5, 0.25, 2.25, 1.0) is None
    assert agg.push_bar(60 * NS, 9.0, 9.0, 9.0, 9.0, 7.0) == (60 * NS, 1.0, 3.0, 0.25, 2.25, 16.0)
    assert agg.flush() == (120 * NS, 9.0, 9.0, 9.0, 9.0, 7.0)
    assert agg.flush() is None
    # flush is not final: a later record opens a fresh window
    agg.push_bar(200 * NS, 4.0, 4.0, 4.0, 4.0, 1.0)
    assert agg.flush() == (240 * NS, 4.0, 4.0, 4.0, 4.0, 1.0)


@pytest.mark.parametrize("unit, offset, first, second, stamp", [
    # 18:29 and 18:31 UTC are 23:59 and 00:01 in India: two days, split at 18:30 UTC
    ("d", IST, "2024-01-01T18:29", "2024-01-01T18:31", "2024-01-01T18:30"),
    # weeks start on Thursday (1970-01-01 was one): Wednesday 3 and Thursday 4 January 2024
    ("w", 0, "2024-01-03T12:00", "2024-01-04T00:00", "2024-01-04T00:00"),
    # a negative offset: UTC-05:30 days end at 05:30 UTC
    ("d", -IST, "2024-01-01T05:29", "2024-01-01T05:30", "2024-01-01T05:30"),
    # before the epoch the window still rounds down
    ("m", 0, "1969-12-31T23:59:59.999999999", "1970-01-01T00:00", "1970-01-01T00:00"),
])
def test_time_windows_follow_the_local_clock(unit, offset, first, second, stamp):
    agg = tm.BarAggregator(1, unit, tz_offset_ns=offset)
    assert agg.push_bar(*flat(ns(first), 1.0)) is None
    assert agg.push_bar(*flat(ns(second), 2.0))[0] == ns(stamp)


def test_an_earlier_window_closes_the_bar_in_progress():
    agg = tm.BarAggregator(1, "m")
    agg.push_bar(*flat(5 * MINUTE + 1, 1.0))
    assert agg.push_bar(*flat(2 * MINUTE, 2.0)) == (6 * MINUTE, 1.0, 1.0, 1.0, 1.0, 1.0)
    assert agg.flush() == (3 * MINUTE, 2.0, 2.0, 2.0, 2.0, 1.0)


def test_merge_keeps_extremes_over_nan_and_takes_a_nan_close():
    agg = tm.BarAggregator(1, "m")
    agg.push_bar(0, 10.0, 12.0, 9.0, 11.0, 1.0)
    agg.push_bar(1, 11.0, NAN, NAN, NAN, 2.0)
    bar = agg.flush()
    assert bar[:4] == (MINUTE, 10.0, 12.0, 9.0)
    assert math.isnan(bar[4]) and bar[5] == 3.0


def test_five_minute_bars_of_a_session_flush_the_short_last_window():
    # 373 one-minute bars from 09:15 IST: 74 full windows and one of three bars.
    rng = np.random.default_rng(5)
    n = 373
    ts = ns("2024-03-04T03:45") + np.arange(n, dtype=np.int64) * MINUTE
    close = 100 + rng.normal(0, 1, n).cumsum()
    open_ = close + rng.normal(0, 0.1, n)
    high = np.maximum(open_, close) + 0.2
    low = np.minimum(open_, close) - 0.2
    vol = rng.integers(1, 100, n).astype(float)
    out = tm.aggregate_bars(ts, open_, high, low, close, vol, 5, "m", tz_offset_ns=tm.IST_OFFSET_NS)
    assert len(out[0]) == 75
    edges = np.arange(0, n, 5)
    np.testing.assert_array_equal(out[0], ts[edges] + 5 * MINUTE)
    assert out[0][-1] == ns("2024-03-04T10:00")  # 15:30 IST
    np.testing.assert_array_equal(out[1], open_[edges])
    np.testing.assert_array_equal(out[2], np.maximum.reduceat(high, edges))
    np.testing.assert_array_equal(out[3], np.minimum.reduceat(low, edges))
    np.testing.assert_array_equal(out[4], close[np.append(edges[1:], n) - 1])
    np.testing.assert_allclose(out[5], np.add.reduceat(vol, edges))


def clamp(v):
    return max(I64_MIN, min(I64_MAX, v))


# Keys and window ends beyond int64 stay at the range's edge instead of wrapping.
@pytest.mark.parametrize("unit, step, offset, ts", [
    ("m", 1, 0, I64_MAX - 1),
    ("d", 7, 10**18, I64_MAX - 5),
    ("s", 1, -(10**18), I64_MIN + 3),
    ("ms", 3, I64_MIN, 0),
    ("w", 15_250, I64_MAX, 12345),
])
def test_time_stamps_saturate(unit, step, offset, ts):
    width = step * dict(TIME_TEXTS)[unit]
    key = clamp(ts + offset)
    want = clamp((key // width + 1) * width - offset)
    agg = tm.BarAggregator(step, unit, tz_offset_ns=offset)
    agg.push_bar(*flat(ts, 1.0))
    assert agg.flush()[0] == want


# --- calendar bars -------------------------------------------------------------------------------

def test_quarter_and_year_bars():
    agg = tm.BarAggregator(3, "month", tz_offset_ns=IST)
    agg.push_bar(*flat(ns("2024-02-15T00:00"), 1.0))
    assert agg.push_bar(*flat(ns("2024-04-02T00:00"), 2.0))[0] == ns("2024-04-01T00:00") - IST
    agg = tm.BarAggregator(1, "y")
    agg.push_bar(*flat(ns("2023-06-01"), 1.0))
    agg.push_bar(*flat(ns("2023-12-31T23:59:59.999999999"), 1.0))
    assert agg.flush() == (ns("2024-01-01"), 1.0, 1.0, 1.0, 1.0, 2.0)
    assert ns("2024-01-01") == 1_704_067_200 * NS


@pytest.mark.parametrize("unit, step", [("month", 1), ("month", 3), ("month", 5), ("month", 12), ("month", 7),
                                        ("y", 1), ("y", 3)])
@pytest.mark.parametrize("offset", [0, IST, -8 * 3600 * NS])
def test_calendar_buckets_match_numpy_months(unit, step, offset):
    rng = np.random.default_rng(step)
    ts = np.sort(rng.integers(ns("1690-01-01"), ns("2250-01-01"), 400))
    one = np.ones(len(ts))
    got = tm.aggregate_bars(ts, one, one, one, one, one, step, unit, tz_offset_ns=offset)[0]
    local = (ts + offset).astype("datetime64[ns]")
    if unit == "month":
        idx = local.astype("datetime64[M]").astype(np.int64) + 1970 * 12   # months since January of year 0
        ends = ((idx // step + 1) * step - 1970 * 12).astype("datetime64[M]")
    else:
        idx = local.astype("datetime64[Y]").astype(np.int64) + 1970
        ends = ((idx // step + 1) * step - 1970).astype("datetime64[Y]")
    stamps = ends.astype("datetime64[ns]").astype(np.int64) - offset
    np.testing.assert_array_equal(got, np.unique(stamps))


def test_calendar_stamp_beyond_the_range_saturates():
    agg = tm.BarAggregator(4_000_000_000, "y")
    agg.push_bar(*flat(ns("2023-05-05"), 1.0))
    assert agg.flush()[0] == I64_MAX


# --- count bars ---------------------------------------------------------------------------------

class Partial:
    def __init__(self, r):
        self.o, self.h, self.l, self.c, self.v = r[1:6]

    def merge(self, r):
        self.h, self.l, self.c, self.v = max_num(self.h, r[2]), min_num(self.l, r[3]), r[4], self.v + r[5]

    def bar(self, ts):
        return (ts, self.o, self.h, self.l, self.c, self.v)


def ref_count(rows, kind, step):
    out, part, acc, n, last = [], None, 0.0, 0, 0
    for r in rows:
        part = Partial(r) if part is None else (part.merge(r) or part)
        n, last = n + 1, r[0]
        add = {"tick": 0.0, "volume": r[5], "value": r[4] * r[5]}[kind]
        acc += add if math.isfinite(add) else 0.0
        if (n >= step) if kind == "tick" else (acc >= step):
            out.append(part.bar(last))
            part, acc, n = None, 0.0, 0
    if part is not None:
        out.append(part.bar(last))
    return out


def random_rows(seed, n=300, bad=True):
    rng = np.random.default_rng(seed)
    close = np.round(100 + rng.normal(0, 1, n).cumsum(), 1)  # rounding makes equal closes
    vol = rng.integers(0, 50, n).astype(float)
    if bad:
        vol[rng.integers(0, n, 10)] = NAN
        close[rng.integers(0, n, 5)] = NAN
    ts = np.cumsum(rng.integers(1, 5 * NS, n))
    return [(int(t), c, c + 0.5, c - 0.5, c, v) for t, c, v in zip(ts, close, vol)]


@pytest.mark.parametrize("kind, step", [("tick", 1), ("tick", 7), ("volume", 100), ("value", 5000)])
def test_count_bars_match_their_rule(kind, step):
    rows = random_rows(step)
    same_bars(as_rows(tm.aggregate_bars(*columns(rows), step, kind)), ref_count(rows, kind, step))


def test_count_bar_edge_cases():
    agg = tm.BarAggregator(3, "tick")
    assert [agg.push_bar(*flat(t, 1.0)) for t in (1, 2)] == [None, None]
    assert agg.push_bar(*flat(3, 1.0)) == (3, 1.0, 1.0, 1.0, 1.0, 3.0)
    assert agg.push_bar(*flat(4, 1.0)) is None
    agg = tm.BarAggregator(100, "volume")
    assert agg.push_bar(*flat(7, 1.0, 250.0)) == (7, 1.0, 1.0, 1.0, 1.0, 250.0)  # overshoot not carried
    assert agg.push_bar(*flat(8, 1.0, 99.0)) is None
    assert agg.flush() == (8, 1.0, 1.0, 1.0, 1.0, 99.0)


def test_a_nan_volume_does_not_stall_volume_bars():
    rows = [flat(1, 1.0, 60.0), flat(2, 1.0, NAN), flat(3, 1.0, 50.0), flat(4, 1.0, 100.0)]
    out = as_rows(tm.aggregate_bars(*columns(rows), 100, "volume"))
    assert [b[0] for b in out] == [3, 4]
    assert math.isnan(out[0][5]) and out[1][5] == 100.0


# --- Renko ------------------------------------------------------------------------------------------

def test_renko_bricks_and_the_queue():
    agg = tm.BarAggregator(1, "renko", brick_size=1.0)
    assert agg.push_trade(1, 100.4, 5.0) is None                          # anchors at 100
    assert agg.push_trade(2, 102.5, 7.0) == (2, 100.0, 101.0, 100.0, 101.0, 0.0)
    assert agg.next_pending() == (2, 101.0, 102.0, 101.0, 102.0, 7.0)     # the record's volume on the last
    assert agg.next_pending() is None
    assert agg.push_trade(3, 101.0, 2.0) == (3, 102.0, 102.0, 101.0, 101.0, 2.0)  # a reversal of one brick
    assert agg.push_trade(4, 101.9, 1.0) is None
    assert agg.flush() is None                                             # never a partial brick


def test_undrained_renko_returns_the_oldest_brick():
    agg = tm.BarAggregator(1, "renko")
    agg.push_trade(1, 10.0, 1.0)
    assert agg.push_trade(2, 13.0, 1.0)[1] == 10.0
    assert agg.push_trade(3, 13.5, 1.0) is None    # no move: the queue is left alone
    assert agg.push_trade(4, 14.0, 1.0)[1] == 11.0
    assert [agg.next_pending()[1] for _ in range(2)] == [12.0, 13.0]
    assert agg.flush() is None


def test_renko_gap_of_many_bricks_is_capped_and_reanchored():
    rows = [flat(1, 100.0, 3.0), flat(2, 25_100.5, 9.0), flat(3, 25_101.0, 4.0)]
    out = as_rows(tm.aggregate_bars(*columns(rows), 1, "renko"))
    assert len(out) == 10_001
    opens = [b[1] for b in out[:10_000]]
    assert opens == [100.0 + k for k in range(10_000)]
    assert [b[5] for b in out[:10_000]] == [0.0] * 9_999 + [9.0]
    assert out[-1] == (3, 25_100.0, 25_101.0, 25_100.0, 25_101.0, 4.0)  # re-anchored at the grid below 25100.5


def test_renko_ignores_closes_that_are_not_finite():
    rows = [flat(1, NAN), flat(2, 50.2), flat(3, math.inf), flat(4, NAN), flat(5, 52.0), flat(6, -math.inf)]
    out = as_rows(tm.aggregate_bars(*columns(rows), 1, "renko"))
    assert out == [(5, 50.0, 51.0, 50.0, 51.0, 0.0), (5, 51.0, 52.0, 51.0, 52.0, 1.0)]


# --- flow bars --------------------------------------------------------------------------------------

def ref_flow(rows, unit, threshold):
    magnitude, rule = unit.split("_")
    out, part, buy, sell, prev_close, prev_sign, last = [], None, 0.0, 0.0, None, 1.0, 0
    for r in rows:
        c, v, signed = r[4], r[5], r[6]
        if signed == 0:
            if prev_close is None or c > prev_close:
                sign = 1.0
            elif c < prev_close:
                sign = -1.0
            else:
                sign = prev_sign
            prev_sign = sign
        else:
            sign = NAN if math.isnan(signed) else math.copysign(1.0, signed)
        prev_close, last = c, r[0]
        m = {"tick": 1.0, "volume": v, "value": c * v}[magnitude]
        if math.isfinite(m):
            if sign >= 0:
                buy += m
            else:
                sell += m
        part = Partial(r) if part is None else (part.merge(r) or part)
        if (max(buy, sell) if rule == "runs" else abs(buy - sell)) >= threshold:
            out.append(part.bar(last))
            part, buy, sell = None, 0.0, 0.0
    if part is not None:
        out.append(part.bar(last))
    return out


FLOW_UNITS = ["tick_imbalance", "tick_runs", "volume_imbalance", "volume_runs", "value_imbalance", "value_runs"]


@pytest.mark.parametrize("unit", FLOW_UNITS)
def test_flow_bars_match_their_rule(unit):
    step = {"tick": 4, "volume": 150, "value": 12_000}[unit.split("_")[0]]
    rng = np.random.default_rng(len(unit))
    trades = []
    for (ts, _, _, _, c, v) in random_rows(7):
        signed = rng.choice([0.0, 0.0, 2.5, -1.0, NAN, -0.0])
        trades.append((ts, c, v, signed))
    want = ref_flow([(t, p, p, p, p, s, g) for t, p, s, g in trades], unit, step)
    same_bars(drive(tm.BarAggregator(step, unit), trades, trade=True), want)
    # the batch over bars knows no signed size: the tick rule everywhere
    rows = [(t, p, p, p, p, s) for t, p, s, _ in trades]
    same_bars(as_rows(tm.aggregate_bars(*columns(rows), step, unit)),
              ref_flow([r + (0.0,) for r in rows], unit, step))


def test_flow_tick_rule_by_hand():
    agg = tm.BarAggregator(3, "tick_imbalance")
    assert agg.push_trade(1, 10.0, 1.0) is None     # first record: a buy
    assert agg.push_trade(2, 11.0, 1.0) is None
    assert agg.push_trade(3, 12.0, 1.0) == (3, 10.0, 12.0, 10.0, 12.0, 3.0)
    agg = tm.BarAggregator(2, "tick_runs")
    agg.push_trade(1, 10.0, 1.0)                    # buy
    agg.push_trade(2, 9.0, 1.0)                     # downtick: sell
    assert agg.push_trade(3, 9.0, 1.0) == (3, 10.0, 10.0, 9.0, 9.0, 3.0)  # unchanged: sell again, 2 sells
    agg.push_trade(4, 9.0, 1.0, -2.0)               # a signed sell leaves the last tick-rule side alone
    assert agg.push_trade(5, 9.0, 1.0) == (5, 9.0, 9.0, 9.0, 9.0, 2.0)    # so this repeats "sell"


# --- front ends ---------------------------------------------------------------------------------------

ALL_UNITS = ["ms", "s", "m", "h", "d", "w", "month", "y", "tick", "volume", "value", "renko"] + FLOW_UNITS


@pytest.mark.parametrize("unit", ALL_UNITS)
def test_streaming_and_batch_give_the_same_bars(unit):
    step = {"tick": 5, "volume": 200, "value": 20_000, "renko": 1, "ms": 700, "s": 7}.get(unit.split("_")[0], 3)
    rows = random_rows(11, n=400)
    rows = [(ts * 10**5, o, h, l, c, v) for ts, o, h, l, c, v in rows]  # spread over weeks
    batch = as_rows(tm.aggregate_bars(*columns(rows), step, unit, tz_offset_ns=IST, brick_size=0.5))
    same_bars(batch, drive(tm.BarAggregator(step, unit, IST, 0.5), rows))
    assert len(batch) > 1


@pytest.mark.parametrize("unit", ["m", "renko", "value_runs"])
def test_empty_input_gives_six_empty_arrays(unit):
    out = tm.aggregate_bars(*columns([]), 1, unit)
    assert isinstance(out, tuple) and len(out) == 6
    assert [a.dtype for a in out] == [np.int64] + [np.float64] * 5
    assert all(len(a) == 0 for a in out)
    out = tm.bars_from_ticks(np.zeros(0, np.int64), np.zeros(0), np.zeros(0), np.zeros(0), 1, unit)
    assert len(out) == 6 and all(len(a) == 0 for a in out)


@pytest.mark.parametrize("fn, count, short", [(tm.aggregate_bars, 6, s) for s in range(1, 6)] +
                         [(tm.bars_from_ticks, 4, s) for s in range(1, 4)])
def test_unequal_arrays_are_refused_before_the_step_and_the_unit(fn, count, short):
    arrays = [np.arange(3, dtype=np.int64)] + [np.ones(3) for _ in range(count - 1)]
    arrays[short] = arrays[short][:2]
    with pytest.raises(ValueError, match="^all input arrays must share one length$"):
        fn(*arrays, 0, "no such unit")


def test_bars_from_ticks_skips_rows_without_a_price():
    ts = np.array([10, 20, 30, 40, 50], dtype=np.int64)
    ltp = np.array([100.0, 0.0, 101.0, NAN, -5.0])
    buy = np.array([5.0, 1.0, 1.0, 1.0, 1.0])
    sell = np.array([-3.0, 1.0, 0.0, 1.0, 1.0])
    assert as_rows(tm.bars_from_ticks(ts, ltp, buy, sell, 2, "tick")) == [(30, 100.0, 101.0, 100.0, 101.0, 9.0)]


def test_bars_from_ticks_signs_trades_by_their_flow():
    # Rising prices would be two buys by the tick rule; the deltas say a sell of 4, then a buy of 4.
    ts = np.array([1, 2], dtype=np.int64)
    ltp = np.array([100.0, 101.0])
    out = as_rows(tm.bars_from_ticks(ts, ltp, np.array([1.0, -3.0]), np.array([-3.0, 1.0]), 5, "volume_imbalance"))
    assert out == [(2, 100.0, 101.0, 100.0, 101.0, 8.0)]   # never imbalanced by 5: flushed at the end
    out = as_rows(tm.bars_from_ticks(ts, ltp, np.array([3.0, 3.0]), np.array([1.0, -1.0]), 5, "volume_imbalance"))
    assert out == [(2, 100.0, 101.0, 100.0, 101.0, 8.0)]   # two buys of 4 complete at the second


def test_bars_from_ticks_equals_pushing_its_trades():
    rng = np.random.default_rng(3)
    n = 500
    ts = np.cumsum(rng.integers(0, 2 * NS, n))
    ltp = np.where(rng.random(n) < 0.1, 0.0, np.round(100 + rng.normal(0, 0.5, n).cumsum(), 1))
    buy = rng.integers(-5, 6, n).astype(float)
    sell = rng.integers(-5, 6, n).astype(float)
    trades = [(int(t), p, abs(b) + abs(s), abs(b) - abs(s)) for t, p, b, s in zip(ts, ltp, buy, sell) if p > 0]
    for unit, step in [("s", 10), ("tick", 3), ("volume_runs", 20), ("renko", 1)]:
        got = as_rows(tm.bars_from_ticks(ts, ltp, buy, sell, step, unit, brick_size=0.2))
        same_bars(got, drive(tm.BarAggregator(step, unit, brick_size=0.2), trades, trade=True))


def test_arguments_are_checked_in_order():
    cols = columns([flat(1, 1.0)])
    with pytest.raises(TypeError, match=r"^argument 'timestamps': type mismatch"):
        tm.aggregate_bars(cols[1], *cols[1:], 1, "m")
    with pytest.raises(TypeError, match=r"^argument 'unit': "):
        tm.aggregate_bars(*cols, 1, b"m")
    with pytest.raises(TypeError, match=r"^argument 'tz_offset_ns': "):
        tm.bars_from_ticks(cols[0], cols[1], cols[1], cols[1], 1, "m", 0.5)
    agg = tm.BarAggregator(step=1, unit="m")
    with pytest.raises(TypeError, match=r"^argument 'timestamp': "):
        agg.push_bar(1.5, 1.0, 1.0, 1.0, 1.0, 1.0)
    with pytest.raises(TypeError, match=r"^argument 'signed_size': "):
        agg.push_trade(1, 1.0, 1.0, "x")
    assert agg.push_trade(timestamp=1, price=2, size=3) is None
    assert agg.flush() == (MINUTE, 2.0, 2.0, 2.0, 2.0, 3.0)


def test_aggregator_attributes_are_read_only():
    agg = tm.BarAggregator(5, "volume_runs")
    assert type(agg.step) is int and agg.unit == "volume_runs"
    for name in ("step", "unit"):
        with pytest.raises(AttributeError):
            setattr(agg, name, 1)
    assert tm.BarAggregator.next_pending.__text_signature__ == "($self)"
    assert tm.BarAggregator.push_trade.__text_signature__ == "($self, timestamp, price, size, signed_size=0.0)"
