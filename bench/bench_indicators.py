"""Throughput of the batch indicators and cost of the streaming Indicator.

Batch: every indicator over 10,000,000 values at periods 14 and 200, in
million values per second (best of a few runs in CPU time of the process, input
copy and output allocation included), printed beside the time of `np.copyto` of one input
column into a preallocated array in the same run.

Streaming: `Indicator.update_bar` driven from a Python loop over 1,000,000
bars, against the same loop calling an empty Python function with the same
arguments.

Run by hand:  python bench/bench_indicators.py [n]
"""

import sys
import time

import numpy as np

import tidemark as tm


def best_seconds(fn, repeat=5):
    # CPU time of this process (user + system, so page faults count): on a
    # machine shared with other jobs, wall time mostly measures the others.
    best = float("inf")
    for _ in range(repeat):
        t0 = time.process_time()
        fn()
        best = min(best, time.process_time() - t0)
    return best


def market(n, seed=7):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    spread = close * rng.uniform(0.0, 0.02, n)
    high = close + spread * rng.uniform(0.0, 1.0, n)
    low = close - spread * rng.uniform(0.0, 1.0, n)
    volume = rng.uniform(100.0, 10_000.0, n)
    return high, low, close, volume


def batch(n):
    high, low, close, volume = market(n)
    dst = np.empty_like(close)
    copy = best_seconds(lambda: np.copyto(dst, close))
    print(f"batch indicators over {n:,} values (np.copyto of one column: {copy * 1e3:.1f} ms)")
    print(f"  {'indicator':18s} {'period':>6s} {'ms':>8s} {'M values/s':>11s} {'x copyto':>9s}")
    for period in (14, 200):
        cases = [
            ("sma", lambda: tm.sma(close, period)),
            ("ema", lambda: tm.ema(close, period)),
            ("rsi", lambda: tm.rsi(close, period)),
            ("atr", lambda: tm.atr(high, low, close, period)),
            ("vwap", lambda: tm.vwap(high, low, close, volume)),
            ("rolling_min", lambda: tm.rolling_min(close, period)),
            ("rolling_max", lambda: tm.rolling_max(close, period)),
            ("macd", lambda: tm.macd(close, period, 2 * period, 9)),
            ("bollinger_bands", lambda: tm.bollinger_bands(close, period, 2.0)),
            ("stochastic", lambda: tm.stochastic(high, low, close, period, 3)),
            ("adx", lambda: tm.adx(high, low, close, period)),
            ("supertrend", lambda: tm.supertrend(high, low, close, period, 3.0)),
        ]
        for name, fn in cases:
            t = best_seconds(fn)
            print(f"  {name:18s} {period:6d} {t * 1e3:8.1f} {n / t / 1e6:11.0f} {t / copy:9.1f}")


def streaming(n):
    high, low, close, _ = market(n, seed=11)
    rows = list(zip(close.tolist(), high.tolist(), low.tolist(), close.tolist()))

    def empty(_open, high, low, close):
        pass

    def drive(update):
        for o, h, l, c in rows:
            update(o, h, l, c)

    base = best_seconds(lambda: drive(empty))
    print(f"Indicator.update_bar from a Python loop over {n:,} bars "
          f"(empty Python function: {base / n * 1e9:.0f} ns per call)")
    for make in (lambda: tm.Indicator.ema(14), lambda: tm.Indicator.rsi(14), lambda: tm.Indicator.atr(14),
                 lambda: tm.Indicator.macd(), lambda: tm.Indicator.bollinger(20, 2.0)):
        ind = make()
        t = best_seconds(lambda: drive(ind.update_bar))
        print(f"  {ind.kind:10s} {t / n * 1e9:6.0f} ns per call, {t / base:4.2f} x the empty function")


if __name__ == "__main__":
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    batch(size)
    streaming(1_000_000)
