"""Bar aggregation: units, the five builders, aggregate_bars, bars_from_ticks and BarAggregator.
Stamps come from NumPy's datetime64 arithmetic or by hand; count and flow bars from models here."""

import math

import numpy as np
import pytest

import _tidemark as tm
from indicator_reference import max_num, min_num

NS, MINUTE, DAY, IST = 10**9, 60 * 10**9, 86_400 * 10**9, 19_800 * 10**9
I64_MAX, I64_MIN, NAN = 2**63 - 1, -(2**63), float("nan")
WIDTH = {"ms": 10**6, "s": NS, "m": MINUTE, "h": 3600 * NS, "d": DAY, "w": 7 * DAY}


def ns(iso):
    return int(np.datetime64(iso, "ns").astype(np.int64))


def columns(rows):
    """Bar arrays from (ts, open, high, low, close, volume) rows."""
    cols = list(zip(*rows)) or [()] * 6
    return (np.array(cols[0], dtype=np.int64),) + tuple(np.array(c, dtype=np.float64) for c in cols[1:])


def batch(rows, step, unit, **kw):
    return list(zip(*(a.tolist() for a in tm.aggregate_bars(*columns(rows), step, unit, **kw))))


def drive(agg, rows, trade=False):
    """Every bar a streaming aggregator gives, draining held-back bars after each push."""
    out = []
    for r in rows:
        out.append(agg.push_trade(*r) if trade else agg.push_bar(*r))
        while (held := agg.next_pending()) is not None:
            out.append(held)
    out.append(agg.flush())
    return [b for b in out if b is not None]


def same_bars(got, want):
    assert [g[0] for g in got] == [w[0] for w in want]
    np.testing.assert_array_equal(np.array([g[1:] for g in got], float), np.array([w[1:] for w in want], float))


def flat(ts, price, volume=1.0):
    return (ts, price, price, price, price, volume)


# Six records 1 ns apart from the epoch, close 0.5, volume 3, step 3: time windows end at three widths, months
# and years count from year 0 (1971 = 3 * 657); ticks, volumes and values (1.5 each) complete every 3rd, every
# and every 2nd record; flow units alike, every record a buy (the first, then unchanged prices).
STAMPS = {**{u: [3 * w] for u, w in WIDTH.items()}, "month": [ns("1970-04-01")], "y": [ns("1971-01-01")],
          "renko": [], "tick": [2, 5], "volume": [0, 1, 2, 3, 4, 5], "value": [1, 3, 5]}
TEXTS = {"ms": "ms millisecond", "s": "s sec second", "m": "m min minute", "h": "h hour", "d": "d day", "w": "w week",
         "month": "month", "y": "y year", "renko": "renko",
         **{k: f"{k} {k}_imbalance {k}_runs" for k in ("tick", "volume", "value")}}
UNITS = [(text, STAMPS[base]) for base, texts in TEXTS.items() for text in texts.split()]


@pytest.mark.parametrize("text, stamps", UNITS)
def test_every_unit_text(text, stamps):
    assert [b[0] for b in batch([flat(k, 0.5, 3.0) for k in range(6)], 3, text)] == stamps


WIDEST = [("m", 153_722_867), ("h", 2_562_047), ("d", 106_751), ("w", 15_250)]  # the widest windows in int64 ns
E64, E = np.zeros(0, np.int64), np.zeros(0)


def unequal(fn, count, short):  # lengths are checked before the step and the unit
    arrays = [np.arange(3, dtype=np.int64)] + [np.ones(3) for _ in range(count - 1)]
    return lambda: fn(*arrays[:short], arrays[short][:2], *arrays[short + 1:], 0, "no such unit")


@pytest.mark.parametrize("call, message", [
    (lambda: tm.BarAggregator(0, "m"), "aggregation step must be >= 1"),
    *[(lambda t=t: tm.BarAggregator(0, t), f'unknown aggregation unit "{t}"')  # before the step
      for t in ["M", " m", "", "months", "tick-imbalance"]],
    (lambda: tm.aggregate_bars(*columns([]), 0, "Y"), 'unknown aggregation unit "Y"'),
    (lambda: tm.BarAggregator(1, "renko", brick_size=math.inf),
     "invalid builder parameter: brick_size must be finite and > 0"),
    *[(lambda u=u, w=w: tm.BarAggregator(w + 1, u), "invalid builder parameter: step too large for unit")
      for u, w in WIDEST[::3]],
    *[(unequal(fn, n, s), "all input arrays must share one length")
      for fn, n in ((tm.aggregate_bars, 6), (tm.bars_from_ticks, 4)) for s in (1, n - 1)],
])
def test_refusals(call, message):
    with pytest.raises(ValueError) as exc:
        call()
    assert str(exc.value) == message


def test_parameters_at_their_limits_and_the_attributes():
    for unit, widest in WIDEST:
        tm.BarAggregator(widest, unit)
    tm.BarAggregator(1, "tick", brick_size=math.inf)  # a brick is only read by renko
    tm.BarAggregator(1, "renko", brick_size=-math.inf)  # not above 0: the step
    agg = tm.BarAggregator(step=5, unit="volume_runs")
    assert type(agg.step) is int and (agg.step, agg.unit) == (5, "volume_runs")
    assert tm.BarAggregator.push_trade.__text_signature__ == "($self, timestamp, price, size, signed_size=0.0)"
    agg = tm.BarAggregator(1, "m")
    assert agg.push_trade(timestamp=1, price=2, size=3) is None
    assert agg.flush() == (MINUTE, 2.0, 2.0, 2.0, 2.0, 3.0) and agg.flush() is None
    agg.push_bar(*flat(5 * MINUTE, 4.0))  # flush is not final
    assert agg.flush() == (6 * MINUTE, 4.0, 4.0, 4.0, 4.0, 1.0)


@pytest.mark.parametrize("brick", [0.0, -5.0, NAN])
def test_renko_brick_not_above_zero_falls_back_to_the_step(brick):
    # Brick 3: close 10 anchors at 9; 12.5 is one brick up (a brick of 1 would make three).
    assert batch([flat(1, 10.0), flat(2, 12.5)], 3, "renko", brick_size=brick) == [(2, 9.0, 12.0, 9.0, 12.0, 1.0)]


# Keys and window ends beyond int64 stay at the range's edge instead of wrapping.
@pytest.mark.parametrize("unit, step, offset, ts", [("m", 1, 0, I64_MAX - 1), ("d", 7, 10**18, I64_MAX - 5),
                                                    ("s", 1, -(10**18), I64_MIN + 3), ("ms", 3, I64_MIN, 0),
                                                    ("w", 15_250, I64_MAX, 12345), ("y", 4_000_000_000, 0, 0)])
def test_time_stamps_saturate(unit, step, offset, ts):
    def clamp(v):
        return max(I64_MIN, min(I64_MAX, v))
    key = clamp(ts + offset)
    want = I64_MAX if unit == "y" else clamp((key // (step * WIDTH[unit]) + 1) * step * WIDTH[unit] - offset)
    agg = tm.BarAggregator(step, unit, tz_offset_ns=offset)
    agg.push_bar(*flat(ts, 1.0))
    assert agg.flush()[0] == want


@pytest.mark.parametrize("unit, step", [("month", 1), ("month", 5), ("month", 12), ("y", 3)])
@pytest.mark.parametrize("offset", [0, IST, -8 * 3600 * NS])
def test_calendar_buckets_match_numpy_months(unit, step, offset):
    ts = np.sort(np.random.default_rng(step).integers(ns("1690-01-01"), ns("2250-01-01"), 400))
    one = np.ones(len(ts))
    got = tm.aggregate_bars(ts, one, one, one, one, one, step, unit, tz_offset_ns=offset)[0]
    code, base = ("M", 1970 * 12) if unit == "month" else ("Y", 1970)  # counted from year 0
    idx = (ts + offset).astype("datetime64[ns]").astype(f"datetime64[{code}]").astype(np.int64) + base
    ends = ((idx // step + 1) * step - base).astype(f"datetime64[{code}]")
    np.testing.assert_array_equal(got, np.unique(ends.astype("datetime64[ns]").astype(np.int64) - offset))


def merge(bar, r, finite_volume=False):
    """A bar in progress with one more record: its stamp and close, the extremes by maxNum/minNum. Count and
    flow bars (finite_volume) add only finite volumes; time bars take a NaN volume as it is."""
    v = r[5] if not finite_volume or math.isfinite(r[5]) else 0.0
    if bar is None:
        return tuple(r[:5]) + (v,)
    return (r[0], bar[1], max_num(bar[2], r[2]), min_num(bar[3], r[3]), r[4], bar[5] + v)


def ref_count(rows, kind, step):
    out, part, acc, n = [], None, 0.0, 0
    for r in rows:
        part, n = merge(part, r, finite_volume=True), n + 1
        add = {"tick": 0.0, "volume": r[5], "value": r[4] * r[5]}[kind]
        acc += add if math.isfinite(add) else 0.0  # a NaN volume must not stall the bars
        if (n >= step) if kind == "tick" else (acc >= step):
            out.append(part)
            part, acc, n = None, 0.0, 0
    return out + ([part] if part else [])


def random_rows(seed, n=300):
    rng = np.random.default_rng(seed)
    close = np.round(100 + rng.normal(0, 1, n).cumsum(), 1)  # rounding makes equal closes
    vol = rng.integers(0, 50, n).astype(float)
    vol[rng.integers(0, n, 10)] = NAN
    close[rng.integers(0, n, 5)] = NAN
    ts = np.cumsum(rng.integers(1, 5 * NS, n))
    return [(int(t), c, c + 0.5, c - 0.5, c, v) for t, c, v in zip(ts, close, vol)]


def ref_time(rows, width, offset):
    out, part, key = [], None, None
    for r in rows:
        if part and (r[0] + offset) // width != key:  # any other window, earlier ones too, closes the bar
            out.append(((key + 1) * width - offset,) + part[1:])
            part = None
        part, key = merge(part, r), (r[0] + offset) // width
    return out + ([((key + 1) * width - offset,) + part[1:]] if part else [])


@pytest.mark.parametrize("unit, step, offset", [("s", 7, 0), ("m", 1, IST), ("d", 1, IST), ("w", 1, -IST)])
def test_time_bars_match_their_rule(unit, step, offset):
    scale = NS if unit in ("s", "m") else WIDTH[unit] // 144  # whole steps put stamps on the boundaries
    rows = [(r[0] // NS * scale, *r[1:]) for r in random_rows(step)]
    rows[100], rows[150] = rows[150], rows[100]
    same_bars(batch(rows, step, unit, tz_offset_ns=offset), ref_time(rows, step * WIDTH[unit], offset))


@pytest.mark.parametrize("kind, step", [("tick", 1), ("tick", 7), ("volume", 100), ("value", 5000)])
def test_count_bars_match_their_rule(kind, step):
    rows = random_rows(step)
    same_bars(batch(rows, step, kind), ref_count(rows, kind, step))


def test_renko_bricks_and_the_queue():
    agg = tm.BarAggregator(1, "renko", brick_size=1.0)
    assert agg.push_trade(1, 100.4, 5.0) is None                          # anchors at 100
    assert agg.push_trade(2, 102.5, 7.0) == (2, 100.0, 101.0, 100.0, 101.0, 0.0)
    assert agg.next_pending() == (2, 101.0, 102.0, 101.0, 102.0, 7.0)     # the record's volume on the last
    assert agg.next_pending() is None
    assert agg.push_trade(3, 101.0, 2.0) == (3, 102.0, 102.0, 101.0, 101.0, 2.0)  # a reversal of one brick
    assert agg.push_trade(4, 101.9, 1.0) is None
    assert agg.flush() is None                                             # never a partial brick
    agg = tm.BarAggregator(1, "renko")
    agg.push_trade(1, 10.0, 1.0)
    assert agg.push_trade(2, 13.0, 1.0)[1] == 10.0
    assert agg.push_trade(3, 13.5, 1.0) is None and agg.next_pending()[1] == 11.0  # no move: the queue is kept


def test_renko_gap_of_many_bricks_is_capped_and_reanchored():
    out = batch([flat(1, 100.0, 3.0), flat(2, 25_100.5, 9.0), flat(3, 25_101.0, 4.0)], 1, "renko")
    assert len(out) == 10_001
    assert [b[1] for b in out[:10_000]] == [100.0 + k for k in range(10_000)]
    assert [b[5] for b in out[:10_000]] == [0.0] * 9_999 + [9.0]
    assert out[-1] == (3, 25_100.0, 25_101.0, 25_100.0, 25_101.0, 4.0)  # re-anchored at the grid below 25100.5
    # closes that are not finite are ignored
    rows = [flat(1, NAN), flat(2, 50.2), flat(3, math.inf), flat(4, NAN), flat(5, 52.0), flat(6, -math.inf)]
    assert batch(rows, 1, "renko") == [(5, 50.0, 51.0, 50.0, 51.0, 0.0), (5, 51.0, 52.0, 51.0, 52.0, 1.0)]


def ref_flow(rows, unit, threshold):
    magnitude, rule = unit.split("_")
    out, part, buy, sell, prev_close, prev_sign = [], None, 0.0, 0.0, None, 1.0
    for r in rows:
        c, v, signed = r[4], r[5], r[6]
        if signed == 0:  # the tick rule; an unchanged price repeats the last side
            sign = 1.0 if prev_close is None or c > prev_close else -1.0 if c < prev_close else prev_sign
            prev_sign = sign
        else:
            sign = NAN if math.isnan(signed) else math.copysign(1.0, signed)
        prev_close = c
        m = {"tick": 1.0, "volume": v, "value": c * v}[magnitude]
        if math.isfinite(m):
            buy, sell = (buy + m, sell) if sign >= 0 else (buy, sell + m)
        part = merge(part, r, finite_volume=True)
        if (max(buy, sell) if rule == "runs" else abs(buy - sell)) >= threshold:
            out.append(part)
            part, buy, sell = None, 0.0, 0.0
    return out + ([part] if part else [])


FLOW_UNITS = ["tick_imbalance", "tick_runs", "volume_imbalance", "volume_runs", "value_imbalance", "value_runs"]


@pytest.mark.parametrize("unit", FLOW_UNITS)
def test_flow_bars_match_their_rule(unit):
    step = {"tick": 4, "volume": 150, "value": 12_000}[unit.split("_")[0]]
    signs = np.random.default_rng(len(unit)).choice([0.0, 0.0, 2.5, -1.0, NAN, -0.0], 300)
    trades = [(r[0], r[4], r[5], s) for r, s in zip(random_rows(7), signs)]
    want = ref_flow([(t, p, p, p, p, s, g) for t, p, s, g in trades], unit, step)
    same_bars(drive(tm.BarAggregator(step, unit), trades, trade=True), want)
    # the batch over bars knows no signed size: the tick rule everywhere
    rows = [(t, p, p, p, p, s) for t, p, s, _ in trades]
    same_bars(batch(rows, step, unit), ref_flow([r + (0.0,) for r in rows], unit, step))


@pytest.mark.parametrize("unit", ["tick", "volume", "value"] + FLOW_UNITS)
def test_count_and_flow_bar_volumes_sum_the_finite_volumes(unit):
    # A volume that adds nothing to the threshold, NaN or infinite, adds nothing to the bar either: in the batch
    # and in the streaming aggregator, fed bars or trades. (NaN alone, and time bars, meet the models above.)
    step = {"tick": 3, "volume": 10, "value": 1_000}[unit.split("_")[0]]
    volumes = [4.0, NAN, 3.0, math.inf, 5.0, -math.inf, 2.0, NAN, 6.0, 8.0, NAN, 7.0, -math.inf]
    rows = [flat(k, 100.0 + (k % 3), v) for k, v in enumerate(volumes)]
    for bars in (batch(rows, step, unit), drive(tm.BarAggregator(step, unit), rows),
                 drive(tm.BarAggregator(step, unit), [(r[0], r[4], r[5], 0.0) for r in rows], trade=True)):
        assert len(bars) > 1 and all(math.isfinite(b[5]) for b in bars)
        assert sum(b[5] for b in bars) == sum(v for v in volumes if math.isfinite(v))


@pytest.mark.parametrize("unit", list(WIDTH) + ["month", "y", "tick", "volume", "value", "renko"] + FLOW_UNITS)
def test_streaming_and_batch_give_the_same_bars(unit):
    step = {"tick": 5, "volume": 200, "value": 20_000, "renko": 1, "ms": 700, "s": 7}.get(unit.split("_")[0], 3)
    rows = [(ts * 10**5, *r) for ts, *r in random_rows(11, n=400)]  # spread over weeks
    want = batch(rows, step, unit, tz_offset_ns=IST, brick_size=0.5)
    same_bars(want, drive(tm.BarAggregator(step, unit, IST, 0.5), rows))
    assert len(want) > 1


@pytest.mark.parametrize("unit", ["m", "renko", "value_runs"])
def test_empty_input_gives_six_empty_arrays(unit):
    out = tm.aggregate_bars(*columns([]), 1, unit)
    assert type(out) is tuple and [(a.dtype, len(a)) for a in out] == [(np.int64, 0)] + [(np.float64, 0)] * 5
    assert [len(a) for a in tm.bars_from_ticks(E64, E, E, E, 1, unit)] == [0] * 6


@pytest.mark.parametrize("unit, step", [("s", 10), ("tick", 3), ("volume_runs", 20), ("renko", 1)])
def test_bars_from_ticks_equals_pushing_its_trades(unit, step):
    rng = np.random.default_rng(3)
    ts = np.cumsum(rng.integers(0, 2 * NS, 500))
    ltp = np.round(100 + rng.normal(0, 0.5, 500).cumsum(), 1)
    ltp[rng.integers(0, 500, 60)] = rng.choice([0.0, -5.0, NAN], 60)  # rows without a price are skipped
    buy, sell = rng.integers(-5, 6, 500).astype(float), rng.integers(-5, 6, 500).astype(float)
    trades = [(int(t), p, abs(b) + abs(s), abs(b) - abs(s)) for t, p, b, s in zip(ts, ltp, buy, sell) if p > 0]
    got = list(zip(*(a.tolist() for a in tm.bars_from_ticks(ts, ltp, buy, sell, step, unit, brick_size=0.2))))
    same_bars(got, drive(tm.BarAggregator(step, unit, brick_size=0.2), trades, trade=True))
