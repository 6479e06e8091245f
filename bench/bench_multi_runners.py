"""Throughput of run_basket_backtest, run_portfolio_backtest and run_multi_backtest.

The basket and portfolio runners take 50 instruments x 100,000 bars; the multi
runner takes 10 strategies x 1,000,000 bars, once merged ("majority") and once
run independently. Each instrument or strategy enters about every 100 bars and
exits about 50 bars later (the strategies hold their flags over 20-bar windows,
so that a majority of them agrees on some bars). The baseline, timed in the same process, is one
np.copyto of every input array the call receives, the least any call that
copies its inputs must spend. Throughput is instrument-bars (or strategy-bars)
over the median of 5 calls. Run by hand:  python bench/bench_multi_runners.py
"""

import numpy as np

import tidemark as tm
from bench_runners import REPEATS, median_time


def walk(rng, n, start):
    return start * np.exp(np.cumsum(rng.normal(0, 0.001, n)))


def signals(n, offset):
    entries = np.zeros(n, dtype=bool)
    exits = np.zeros(n, dtype=bool)
    entries[offset::100] = True
    exits[offset + 50::100] = True
    return entries, exits


def windows(n, offset):
    """Signals held over windows: entries for 20 bars, exits for 20 bars 50 bars later."""
    phase = (np.arange(n) - offset) % 100
    return phase < 20, (phase >= 50) & (phase < 70)


def instruments(rng, count, n):
    ts = (np.arange(n, dtype=np.int64) + 1_700_000_000) * 60 * 10**9
    rows = []
    for k in range(count):
        c = walk(rng, n, 100.0 + k)
        e, x = signals(n, k % 50)
        rows.append((ts, c, c * 1.001, c * 0.999, c, np.ones(n), e, x, 1 if k % 2 == 0 else -1, 1.0, f"S{k}"))
    return rows


def cases():
    rng = np.random.default_rng(7)
    rows = instruments(rng, 50, 100_000)
    arrays = [a for r in rows for a in r[:8]]
    basket_cfg = tm.BacktestConfig(fee_segment="NSE")
    yield "run_basket_backtest", 50 * 100_000, arrays, lambda: tm.run_basket_backtest(rows, basket_cfg, "master")
    port_cfg = tm.BacktestConfig(max_positions=20, max_drawdown_pct=50.0)
    yield "run_portfolio_backtest", 50 * 100_000, arrays, lambda: tm.run_portfolio_backtest(rows, port_cfg)

    n = 1_000_000
    ts = (np.arange(n, dtype=np.int64) + 1_700_000_000) * 60 * 10**9
    c = walk(rng, n, 2000.0)
    bars = (ts, c, c * 1.001, c * 0.999, c, np.ones(n))
    strategies = [(*windows(n, 3 * k), 1, 1.0, f"s{k}") for k in range(10)]
    arrays = list(bars) + [a for s in strategies for a in s[:2]]
    yield "run_multi_backtest majority", 10 * n, arrays, lambda: tm.run_multi_backtest(*bars, strategies,
                                                                                       combine_mode="majority")
    yield "run_multi_backtest independent", 10 * n, arrays, lambda: tm.run_multi_backtest(
        *bars, strategies, combine_mode="independent")


def main():
    print(f"median of {REPEATS} calls, one core")
    for name, rows, inputs, call in cases():
        t = median_time(call)
        res = call()
        # Timed after the call: holding the copies' memory while the call runs
        # makes the allocator hand the call fresh pages, which it then faults in.
        targets = [np.empty_like(x) for x in inputs]
        base = median_time(lambda: [np.copyto(dst, src) for dst, src in zip(targets, inputs)])
        del targets
        trades = len((res.result if hasattr(res, "result") else res).trades())
        print(f"{name:31s} trades={trades:6d} {t * 1e3:7.1f} ms {rows / t / 1e6:6.1f} M rows/s   "
              f"baseline np.copyto of the {len(inputs)} inputs: {base * 1e3:6.1f} ms ({rows / base / 1e6:6.1f} M rows/s)")


if __name__ == "__main__":
    main()
