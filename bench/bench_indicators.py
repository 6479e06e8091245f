"""Time of the batch indicators against TA-Lib, and cost of the streaming Indicator.

Batch: every indicator at 1,000, 10,000, 100,000, 1,000,000 and 10,000,000
values at periods 14 and 200, beside the TA-Lib function that computes the
same thing on the same arrays (MACD with slow = 2 x fast and signal 9;
Bollinger bands at 2 deviations; stochastic as TA-Lib's fast stochastic with
%D over 3). Each figure is the best of several repeats in CPU time of the
process (page faults count), the two libraries called in turn within each
repeat so that both see the same machine; below 100,000 values a repeat
times a loop of calls, so that the clock's own cost is a small part of it.
VWAP and the supertrend have no TA-Lib function; every row also gives its
time as a multiple of `np.copyto` of one input column. TA-Lib is a benchmark
peer only (`pip install TA-Lib`): without it the TA-Lib column is skipped
with a note.

ATR: at each size (and 3,000,000 bars too, when no sizes are given) and
periods 14, 50, 200 and 500, on the walk, on the walk
with 200 gaps of 1 to 10 missing bars (every column NaN) from a tenth of the
way in, on the walk held flat (high = low = close, true range 0) over bars
n/3 to 0.463 n, and on the walk held flat over its last two thirds; each
beside TA-Lib on the same arrays, and the flat series also as a multiple of
our time on the walk.

ADX again on the same series with 0.1 % of its bars missing (high, low and
close NaN), beside TA-Lib on those arrays and our own time on the clean ones.

Gapped and flat series: ATR, the rolling extremes, the stochastic and the
supertrend on the same walk with 200 gaps of 1 to 10 missing bars (every
column NaN) from bar 100,000 on, beside TA-Lib on the gapped arrays and our
own time on whole bars; then on the walk held flat from bar 100,000 on (high
= low = close, so the true range is 0, as a halted instrument gives), as a
multiple of our time on the walk.

Streaming: `Indicator.update_bar` of every kind driven from a Python loop
over 1,000,000 bars, against the same loop calling an empty Python function
with the same arguments, the two timed in turn.

Run by hand:  python bench/bench_indicators.py [sizes] [part ...]
where sizes is a comma-separated list of lengths (all five by default) and a
part is one of batch, atr, gaps, hard, streaming (all by default; gaps and
hard run at each size from 100,000 on). The copies of the vector loops are
compared by running it under builds with different TIDEMARK_CLONES, e.g. the
default and "avx2;baseline" on an AVX-512 processor, each process timing
TA-Lib beside them.
"""

import sys
import time

import numpy as np

import tidemark as tm

try:
    import talib
except ImportError:  # a benchmark peer, not a dependency
    talib = None


def best_seconds(fn, repeat=5):
    # CPU time of this process (user + system, so page faults count): on a
    # machine shared with other jobs, wall time mostly measures the others.
    best = float("inf")
    for _ in range(repeat):
        t0 = time.process_time()
        fn()
        best = min(best, time.process_time() - t0)
    return best


def interleaved_best(fns, repeat, calls=1):
    """Best CPU time of one call of each function, the functions called in turn within each repeat.

    Each repeat times `calls` calls of a function in a row: for a call of a few microseconds the two reads of
    the process clock would otherwise be a good part of the figure."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            t0 = time.process_time()
            for _ in range(calls):
                fn()
            best[k] = min(best[k], (time.process_time() - t0) / calls)
    return best


def plan(n):
    """(repeats, calls per repeat) for series of n values: about as long in all, more repeats where they are cheap."""
    calls = max(1, 20_000 // n)
    repeat = max(11, min(41, 40_000_000 // (n * calls)))
    return repeat, calls


def market(n, seed=7):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    spread = close * rng.uniform(0.0, 0.02, n)
    high = close + spread * rng.uniform(0.0, 1.0, n)
    low = close - spread * rng.uniform(0.0, 1.0, n)
    volume = rng.uniform(100.0, 10_000.0, n)
    return high, low, close, volume


def batch_cases(period, high, low, close, volume):
    """(name, tidemark call, TA-Lib call or None) for one period."""
    p = period
    ta = talib
    return [
        ("sma", lambda: tm.sma(close, p), ta and (lambda: ta.SMA(close, p))),
        ("ema", lambda: tm.ema(close, p), ta and (lambda: ta.EMA(close, p))),
        ("rsi", lambda: tm.rsi(close, p), ta and (lambda: ta.RSI(close, p))),
        ("macd", lambda: tm.macd(close, p, 2 * p, 9), ta and (lambda: ta.MACD(close, p, 2 * p, 9))),
        ("atr", lambda: tm.atr(high, low, close, p), ta and (lambda: ta.ATR(high, low, close, p))),
        ("bollinger_bands", lambda: tm.bollinger_bands(close, p, 2.0),
         ta and (lambda: ta.BBANDS(close, p, 2.0, 2.0))),
        ("adx", lambda: tm.adx(high, low, close, p), ta and (lambda: ta.ADX(high, low, close, p))),
        ("stochastic", lambda: tm.stochastic(high, low, close, p, 3),
         ta and (lambda: ta.STOCHF(high, low, close, p, 3))),
        ("rolling_min", lambda: tm.rolling_min(close, p), ta and (lambda: ta.MIN(close, p))),
        ("rolling_max", lambda: tm.rolling_max(close, p), ta and (lambda: ta.MAX(close, p))),
        ("vwap", lambda: tm.vwap(high, low, close, volume), None),
        ("supertrend", lambda: tm.supertrend(high, low, close, p, 3.0), None),
    ]


def batch(n):
    high, low, close, volume = market(n)
    repeat, calls = plan(n)
    dst = np.empty_like(close)
    copy = interleaved_best([lambda: np.copyto(dst, close)], repeat, calls)[0]
    print(f"batch indicators over {n:,} values (np.copyto of one column: {copy * 1e3:.4f} ms; "
          f"best of {repeat} x {calls} calls, timed in turn)")
    if talib is None:
        print("  TA-Lib is not installed (pip install TA-Lib): its column is skipped")
    print(f"  {'indicator':16s} {'period':>6s} {'ms':>9s} {'TA-Lib ms':>9s} {'/ TA-Lib':>8s} {'x copyto':>8s}")
    for period in (14, 200):
        for name, ours, peer in batch_cases(period, high, low, close, volume):
            fns = [ours] if peer is None else [ours, peer]
            times = interleaved_best(fns, repeat, calls)
            t = times[0]
            if peer is None:
                peer_text = f"{'-':>9s} {'-':>8s}"
            else:
                peer_text = f"{times[1] * 1e3:9.4f} {t / times[1]:8.2f}"
            print(f"  {name:16s} {period:6d} {t * 1e3:9.4f} {peer_text} {t / copy:8.1f}")


def atr(n):
    high, low, close, _ = market(n)
    walk = (high, low, close)
    gapped, missing = with_gaps(n, walk, start=n // 10)
    series = [("walk", walk), ("gapped", gapped), ("flat middle", held_flat(n, walk, n // 3, int(n * 0.463))),
              ("flat end", held_flat(n, walk, n // 3, n))]
    repeat, calls = plan(n)
    print(f"ATR over {n:,} bars: the walk; {missing:,} bars missing in 200 gaps; flat (true range 0) over bars "
          f"{n // 3:,}-{int(n * 0.463):,}; flat from bar {n // 3:,} to the end "
          f"(best of {repeat} x {calls} calls, timed in turn)")
    print(f"  {'series':12s} {'period':>6s} {'ms':>9s} {'TA-Lib ms':>9s} {'/ TA-Lib':>8s} {'/ walk':>6s}")
    for p in (14, 50, 200, 500):
        fns = [lambda c=cols: tm.atr(*c, p) for _, cols in series]
        if talib is not None:
            fns += [lambda c=cols: talib.ATR(*c, p) for _, cols in series]
        t = interleaved_best(fns, repeat, calls)
        for k, (name, _) in enumerate(series):
            peer = (f"{t[4 + k] * 1e3:9.4f} {t[k] / t[4 + k]:8.2f}" if talib is not None
                    else f"{'-':>9s} {'-':>8s}")
            print(f"  {name:12s} {p:6d} {t[k] * 1e3:9.4f} {peer} {t[k] / t[0]:6.2f}")


def gaps(n, repeat=15):
    high, low, close, _ = market(n)
    missing = np.random.default_rng(3).random(n) < 0.001
    gapped = [col.copy() for col in (high, low, close)]
    for col in gapped:
        col[missing] = np.nan
    print(f"adx with {missing.sum()} of {n:,} bars missing (high, low and close NaN)")
    print(f"  {'period':>6s} {'ms':>7s} {'TA-Lib ms':>9s} {'/ TA-Lib':>8s} {'/ clean':>8s}")
    for period in (14, 200):
        fns = [lambda: tm.adx(*gapped, period), lambda: tm.adx(high, low, close, period)]
        if talib is not None:
            fns.append(lambda: talib.ADX(*gapped, period))
        times = interleaved_best(fns, repeat)
        peer = f"{times[2] * 1e3:9.2f} {times[0] / times[2]:8.2f}" if talib is not None else f"{'-':>9s} {'-':>8s}"
        print(f"  {period:6d} {times[0] * 1e3:7.2f} {peer} {times[0] / times[1]:8.2f}")


def with_gaps(n, cols, count=200, start=100_000, seed=5):
    """Copies of `cols` with `count` gaps of 1 to 10 bars, every column NaN."""
    rng = np.random.default_rng(seed)
    start = min(start, n // 10)
    at = np.sort(rng.choice(np.arange(start, n - 10), size=min(count, max(0, n - 10 - start)), replace=False))
    missing = np.zeros(n, dtype=bool)
    for i, length in zip(at, rng.integers(1, 11, size=len(at))):
        missing[i:i + length] = True
    out = [col.copy() for col in cols]
    for col in out:
        col[missing] = np.nan
    return out, int(missing.sum())


def held_flat(n, cols, start=100_000, end=None):
    """Copies of (high, low, close) held at the close before bar `start` from there to `end` (the last bar)."""
    start = min(start, n // 10) if end is None else start
    high, low, close = (col.copy() for col in cols)
    level = close[start - 1]
    for col in (high, low, close):
        col[start:end] = level
    return high, low, close


def hard_series(n, repeat=11):
    high, low, close, _ = market(n)
    (gh, gl, gc), missing = with_gaps(n, (high, low, close))
    fh, fl, fc = held_flat(n, (high, low, close))
    ta = talib

    def cases(p, h, l, c):
        return [
            ("atr", lambda: tm.atr(h, l, c, p), ta and (lambda: ta.ATR(h, l, c, p))),
            ("rolling_min", lambda: tm.rolling_min(c, p), ta and (lambda: ta.MIN(c, p))),
            ("rolling_max", lambda: tm.rolling_max(c, p), ta and (lambda: ta.MAX(c, p))),
            ("stochastic", lambda: tm.stochastic(h, l, c, p, 3), ta and (lambda: ta.STOCHF(h, l, c, p, 3))),
            ("supertrend", lambda: tm.supertrend(h, l, c, p, 3.0), None),
        ]

    print(f"gapped: {missing:,} of {n:,} bars missing in 200 gaps of 1-10 bars; flat: held from bar "
          f"{min(100_000, n // 10):,} on (best of {repeat}, timed in turn)")
    print(f"  {'indicator':12s} {'period':>6s} {'whole ms':>8s} {'gapped':>7s} {'/ whole':>7s} "
          f"{'TA-Lib':>7s} {'/ TA-Lib':>8s} {'flat':>7s} {'/ walk':>6s}")
    for p in (14, 200):
        for (name, whole, _), (_, gapped, peer), (_, flat, _) in zip(
                cases(p, high, low, close), cases(p, gh, gl, gc), cases(p, fh, fl, fc)):
            fns = [whole, gapped, flat] + ([peer] if peer is not None else [])
            t = interleaved_best(fns, repeat)
            peer_text = f"{t[3] * 1e3:7.2f} {t[1] / t[3]:8.2f}" if peer is not None else f"{'-':>7s} {'-':>8s}"
            print(f"  {name:12s} {p:6d} {t[0] * 1e3:8.2f} {t[1] * 1e3:7.2f} {t[1] / t[0]:7.2f} "
                  f"{peer_text} {t[2] * 1e3:7.2f} {t[2] / t[0]:6.2f}")


def streaming(n):
    high, low, close, _ = market(n, seed=11)
    rows = list(zip(close.tolist(), high.tolist(), low.tolist(), close.tolist()))

    def empty(_open, high, low, close):
        pass

    def drive(update):
        for o, h, l, c in rows:
            update(o, h, l, c)

    kinds = (lambda: tm.Indicator.sma(20), lambda: tm.Indicator.ema(14), lambda: tm.Indicator.wilder_ma(14),
             lambda: tm.Indicator.wma(20), lambda: tm.Indicator.roc(14), lambda: tm.Indicator.stddev(20),
             lambda: tm.Indicator.rsi(14), lambda: tm.Indicator.atr(14), lambda: tm.Indicator.donchian(20),
             lambda: tm.Indicator.macd(), lambda: tm.Indicator.bollinger(20, 2.0))
    print(f"Indicator.update_bar from a Python loop over {n:,} bars, against an empty Python function "
          "of the same arguments (best of 5, timed in turn)")
    for make in kinds:
        ind = make()
        t, base = interleaved_best([lambda: drive(ind.update_bar), lambda: drive(empty)], 5)
        print(f"  {ind.kind:10s} {t / n * 1e9:6.0f} ns per call, {t / base:4.2f} x the empty function "
              f"({base / n * 1e9:.0f} ns)")


if __name__ == "__main__":
    args = sys.argv[1:]
    sizes = [1_000, 10_000, 100_000, 1_000_000, 10_000_000]
    # The ATR also at 3,000,000 bars, a second length whose inputs (72 MB) are far past the cache.
    atr_sizes = sorted(sizes + [3_000_000])
    if args and args[0][0].isdigit():
        sizes = atr_sizes = [int(x) for x in args.pop(0).split(",")]
    parts = args or ["batch", "atr", "gaps", "hard", "streaming"]
    run = {"batch": batch, "atr": atr, "gaps": gaps, "hard": hard_series}
    for part in parts:
        if part == "streaming":
            streaming(1_000_000)
            continue
        for n in atr_sizes if part == "atr" else sizes:
            if part in ("gaps", "hard") and n < 100_000:
                continue
            run[part](n)
