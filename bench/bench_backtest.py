"""Throughput of run_single_backtest over 1,000,000 bars.

Cases: (a) no signals, (b) a moving-average crossover with about one trade per
50 bars, (c) the same with an ATR stop, a risk-reward target and itemised
NSE delivery costs. Each case runs in its own process so that its peak memory
(max RSS) is its own. Run by hand:  python bench/bench_backtest.py
"""

import json
import resource
import subprocess
import sys
import time

import numpy as np

N = 1_000_000


def bars(n=N, seed=7):
    rng = np.random.default_rng(seed)
    close = 1000.0 * np.exp(np.cumsum(rng.normal(0, 0.004, n)))
    open_ = np.concatenate(([close[0]], close[:-1]))
    spread = np.abs(rng.normal(0, 0.002, n)) * close
    high = np.maximum(open_, close) + spread
    low = np.minimum(open_, close) - spread
    volume = rng.uniform(1e3, 1e5, n)
    ts = (np.arange(n, dtype=np.int64) * 60 + 1_700_000_000) * 1_000_000_000
    return ts, open_, high, low, close, volume


def crossover(close, fast=7, slow=30):
    def sma(x, p):
        c = np.cumsum(np.insert(x, 0, 0.0))
        out = np.full(x.size, np.nan)
        out[p - 1:] = (c[p:] - c[:-p]) / p
        return out

    f, s = sma(close, fast), sma(close, slow)
    above = f > s
    entries = above & ~np.roll(above, 1)
    exits = ~above & np.roll(above, 1)
    entries[0] = exits[0] = False
    return entries, exits


def run_case(case):
    import tidemark as tm

    ts, o, h, l, c, v = bars()
    cfg = tm.BacktestConfig()
    if case == "none":
        entries = np.zeros(N, dtype=bool)
        exits = np.zeros(N, dtype=bool)
    else:
        entries, exits = crossover(c)
    if case == "stops":
        cfg = tm.BacktestConfig(fee_segment="NSE-DELIVERY")
        cfg.set_atr_stop(2.0, 14)
        cfg.set_risk_reward_target(2.0)
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times = []
    result = None
    for _ in range(5):
        t0 = time.perf_counter()
        result = tm.run_single_backtest(ts, o, h, l, c, v, entries, exits, config=cfg)
        times.append(time.perf_counter() - t0)
        del result
    result = tm.run_single_backtest(ts, o, h, l, c, v, entries, exits, config=cfg)
    rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    best = min(times)
    med = sorted(times)[len(times) // 2]
    return {
        "case": case,
        "trades": result.metrics.total_trades,
        "median_ms": med * 1e3,
        "best_ms": best * 1e3,
        "bars_per_s": N / med,
        "peak_rss_mb": rss_after / 1024,
        "rss_growth_mb": (rss_after - rss_before) / 1024,
    }


def main():
    if len(sys.argv) > 1:
        print(json.dumps(run_case(sys.argv[1])))
        return
    print(f"run_single_backtest over {N:,} bars (median of 5 runs, one core)")
    for case, label in [("none", "(a) no signals"), ("cross", "(b) MA crossover"),
                        ("stops", "(c) crossover + ATR stop + R:R target + NSE-DELIVERY")]:
        out = subprocess.run([sys.executable, __file__, case], capture_output=True, text=True, check=True)
        r = json.loads(out.stdout)
        print(f"{label:55s} trades={r['trades']:6d}  {r['median_ms']:7.1f} ms  "
              f"{r['bars_per_s'] / 1e6:6.1f} M bars/s  peak RSS {r['peak_rss_mb']:6.0f} MB "
              f"(+{r['rss_growth_mb']:.0f} MB during the runs)")


if __name__ == "__main__":
    main()
