"""Throughput of run_options_backtest, run_pairs_backtest and run_tick_backtest.

Each runner takes 1,000,000 bars or ticks with an entry every 100 rows and an
exit 50 rows later (about 10,000 round trips). The baseline, timed in the same
process, is one np.copyto of every input array the call receives, which is
the least any call that copies its inputs must spend. Rows per second are the
row count over the median of 5 calls. Run by hand:  python bench/bench_runners.py
"""

import time

import numpy as np

import tidemark as tm

N = 1_000_000
REPEATS = 5


def walk(rng, start):
    return start * np.exp(np.cumsum(rng.normal(0, 0.001, N)))


def signals():
    entries = np.zeros(N, dtype=bool)
    exits = np.zeros(N, dtype=bool)
    entries[::100] = True
    exits[50::100] = True
    return entries, exits


def cases():
    rng = np.random.default_rng(11)
    ts = (np.arange(N, dtype=np.int64) + 1_700_000_000) * 60 * 10**9
    entries, exits = signals()

    close = walk(rng, 20000.0)
    premium = walk(rng, 150.0)
    opts = (ts, close, close, close, close, close, premium, entries, exits)
    yield "run_options_backtest", opts, lambda: tm.run_options_backtest(
        *opts, config=tm.BacktestConfig(fee_segment="NFO-OPT"), size_type="contracts", size_value=2, lot_size=50,
        option_open_prices=premium)

    a, b = walk(rng, 1500.0), walk(rng, 700.0)
    pairs = (ts, a, a, a, a, a, ts, b, b, b, b, b, entries, exits)
    yield "run_pairs_backtest", pairs, lambda: tm.run_pairs_backtest(*pairs, dynamic_hedge=True)

    ltp = walk(rng, 2500.0)
    tick_ts = (np.arange(N, dtype=np.int64) + 1_700_000_000) * 10**9
    ticks = (tick_ts, ltp, ltp - 0.05, ltp + 0.05, ltp, ltp, ltp, entries, exits)
    yield "run_tick_backtest", ticks, lambda: tm.run_tick_backtest(
        *ticks, stop_loss_pct=50.0, take_profit_pct=50.0, max_hold_seconds=10**6, entry_cooldown_ticks=0,
        fee_segment="NSE")


def median_time(fn):
    times = []
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return sorted(times)[len(times) // 2]


def main():
    print(f"{N:,} rows per call, median of {REPEATS} calls, one core")
    for name, inputs, call in cases():
        targets = [np.empty_like(x) for x in inputs]

        def copy_inputs():
            for dst, src in zip(targets, inputs):
                np.copyto(dst, src)

        base = median_time(copy_inputs)
        t = median_time(call)
        trades = call().metrics.total_trades
        print(f"{name:22s} trades={trades:6d}  {t * 1e3:7.1f} ms  {N / t / 1e6:6.1f} M rows/s   "
              f"baseline np.copyto of the {len(inputs)} inputs: {base * 1e3:6.1f} ms ({N / base / 1e6:6.1f} M rows/s)")


if __name__ == "__main__":
    main()
