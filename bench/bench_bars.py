"""Throughput of bar aggregation and the tick features over 10,000,000 rows.

aggregate_bars from one-second bars into 1-minute, 1-day, volume and Renko
bars; bars_from_ticks into 1-minute and 100-tick bars; each tick feature.
Every figure is input rows per second for the whole call (the argument copies
included). The baseline, measured in the same process, is np.copyto of the
same input arrays into preallocated ones: the copy the call makes before any
work. Best of three runs each. Run by hand:  python bench/bench_bars.py
"""

import time

import numpy as np

import tidemark as tm

N = 10_000_000
NS = 1_000_000_000


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def report(label, seconds, rows=N, extra=""):
    print(f"  {label:44s} {seconds * 1e3:8.1f} ms  {rows / seconds / 1e6:7.1f} M rows/s {extra}")


def copy_baseline(arrays):
    out = [np.empty_like(a) for a in arrays]

    def run():
        for dst, src in zip(out, arrays):
            np.copyto(dst, src)

    return best(run)


def main():
    rng = np.random.default_rng(11)
    ts = (1_700_000_000 + np.arange(N, dtype=np.int64)) * NS
    close = 1000.0 * np.exp(np.cumsum(rng.normal(0, 2e-4, N)))
    open_ = np.concatenate(([close[0]], close[:-1]))
    high = np.maximum(open_, close) + 0.05
    low = np.minimum(open_, close) - 0.05
    volume = rng.uniform(1.0, 100.0, N)
    bars = (ts, open_, high, low, close, volume)

    print(f"aggregate_bars, {N:,} one-second bars")
    report("baseline: np.copyto of the six inputs", copy_baseline(bars))
    for label, step, unit, kw in [("1-minute", 1, "m", {}), ("1-day (IST)", 1, "d", {"tz_offset_ns": tm.IST_OFFSET_NS}),
                                  ("volume 5,000", 5000, "volume", {}), ("Renko brick 0.5", 1, "renko",
                                                                         {"brick_size": 0.5})]:
        out = tm.aggregate_bars(*bars, step, unit, **kw)
        report(label, best(lambda: tm.aggregate_bars(*bars, step, unit, **kw)), extra=f"-> {len(out[0]):,} bars")

    # Ticks about 40 ms apart, one in twenty without a price.
    tick_ts = np.cumsum(rng.integers(1, 80_000_000, N)) + 1_700_000_000 * NS
    ltp = np.round(close, 2)
    ltp[rng.random(N) < 0.05] = 0.0
    buy = rng.integers(0, 20, N).astype(np.float64)
    sell = rng.integers(0, 20, N).astype(np.float64)
    ticks = (tick_ts, ltp, buy, sell)
    print(f"bars_from_ticks, {N:,} ticks")
    report("baseline: np.copyto of the four inputs", copy_baseline(ticks))
    for label, step, unit in [("1-minute", 1, "m"), ("100 ticks", 100, "tick")]:
        out = tm.bars_from_ticks(*ticks, step, unit)
        report(label, best(lambda: tm.bars_from_ticks(*ticks, step, unit)), extra=f"-> {len(out[0]):,} bars")

    bid = ltp - 0.05
    ask = ltp + 0.05
    spread = tm.tick_spread_pct(bid, ask)
    bsi = tm.buy_sell_imbalance_delta(np.cumsum(buy), np.cumsum(sell))
    ret = tm.return_window(tick_ts, ltp)
    print(f"tick features, {N:,} ticks")
    report("baseline: np.copyto of one float array", copy_baseline((ltp,)))
    report("baseline: np.copyto of timestamps + one array", copy_baseline((tick_ts, ltp)))
    cases = [
        ("tick_spread_pct", lambda: tm.tick_spread_pct(bid, ask)),
        ("buy_sell_imbalance_delta", lambda: tm.buy_sell_imbalance_delta(buy, sell)),
        ("return_window (60 s)", lambda: tm.return_window(tick_ts, ltp)),
        ("tick_velocity (60 s)", lambda: tm.tick_velocity(tick_ts)),
        ("oi_position_pct", lambda: tm.oi_position_pct(buy, 15.0, 5.0)),
        ("compute_tick_entry_signals (all gates)",
         lambda: tm.compute_tick_entry_signals(spread, bsi, ret, 0.02, 0.55, 0.01, 1, 10)),
        ("compute_tick_exit_signals", lambda: tm.compute_tick_exit_signals(tick_ts, int(tick_ts[N // 2]))),
    ]
    for label, fn in cases:
        report(label, best(fn))
    # The volatility walks every window (25 ticks per second here), so its
    # rate falls with the window's length.
    for seconds in (1.0, 10.0):
        report(f"realized_vol_rolling ({seconds:g} s)",
               best(lambda: tm.realized_vol_rolling(tick_ts, ltp, seconds), repeat=1))


if __name__ == "__main__":
    main()
