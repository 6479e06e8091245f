"""Cost per bar of run_single_backtest by run length, against the memory limit.

For each run length the bench reports, after one warm-up call:
  ns/bar     best of N calls, divided by the bar count;
  vs 1M      that figure over the 1,000,000-bar one (a size cliff shows here);
  faults     minor page faults per call (resource.getrusage), averaged;
  copy ns/b  best of N np.copyto of the eight input columns into preallocated
             arrays, per bar: touching the inputs once, the bandwidth floor;
  ratio      run over copy, both measured in the same process, interleaved;
  added B/b  memory the process's first run adds at its peak (resident set,
             from the high-water mark reset just before the call), per bar;
  vbt x      (cross only, when vectorbt is installed) vectorbt's
             Portfolio.from_signals on the same close and signals (fees 0.001,
             all cash per entry) over our run, interleaved in the same
             process; "-" when it is not installed.

Cases: (none) no signals at all; (cross) a moving-average crossover with about one trade per 50 bars;
(stops) the same with an ATR stop, a risk-reward target and itemised
NSE-DELIVERY costs. Each (case, size) runs in a fresh process, so that no
size inherits another's heap. Run by hand:

    python bench/bench_backtest.py            # every size, both cases
    python bench/bench_backtest.py 1000000    # chosen sizes only
"""

import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

SIZES = [10_000, 30_000, 100_000, 262_144, 1_000_000, 10_000_000]
CASES = [("none", "no signals: every step has nothing to do"),
         ("cross", "MA crossover, fee 0.001, close fills"),
         ("stops", "crossover + ATR stop + R:R target + NSE-DELIVERY")]
# Enough calls that the best one is the machine's, not its neighbours'.
BUDGET_BARS = 20_000_000


def bars(n, seed=7):
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


def minflt():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return None


def first_run_peak(call):
    """Bytes the first call adds to the resident set at its peak (None where Linux cannot say)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the high-water mark starts again from here
    except OSError:
        return None
    before = status_bytes("VmRSS")
    r = call()
    peak = status_bytes("VmHWM")
    return r, peak - before


def vectorbt_call(close, entries, exits):
    try:
        import vectorbt as vbt
    except ImportError:
        return None
    import pandas as pd

    price = pd.Series(close)
    e, x = pd.Series(entries), pd.Series(exits)
    return lambda: vbt.Portfolio.from_signals(price, e, x, init_cash=100_000.0, fees=0.001, freq="1min")


def run_case(case, n):
    import tidemark as tm

    cols = bars(n)
    if case == "none":
        entries, exits = np.zeros(n, dtype=bool), np.zeros(n, dtype=bool)
    else:
        entries, exits = crossover(cols[4])
    inputs = (*cols, entries, exits)
    cfg = tm.BacktestConfig(fee_segment="NSE-DELIVERY") if case == "stops" else tm.BacktestConfig()
    if case == "stops":
        cfg.set_atr_stop(2.0, 14)
        cfg.set_risk_reward_target(2.0)
    reps = max(3, min(200, BUDGET_BARS // n))

    def call():
        return tm.run_single_backtest(*inputs, config=cfg)

    first = first_run_peak(call)  # the warm-up call
    added = None if first is None else first[1] / n
    trades = (call() if first is None else first[0]).metrics.total_trades
    first = None
    peer = vectorbt_call(cols[4], entries, exits) if case == "cross" and n <= 1_000_000 else None
    if peer is not None:
        peer()  # compiles its kernels
    dest = [np.empty_like(a) for a in inputs]
    for d, a in zip(dest, inputs):
        np.copyto(d, a)
    best = copy = peer_best = float("inf")
    faults = 0
    for _ in range(reps):
        f0 = minflt()
        t0 = time.perf_counter()
        r = call()
        dt = time.perf_counter() - t0
        del r
        faults += minflt() - f0
        best = min(best, dt)
        t0 = time.perf_counter()
        for d, a in zip(dest, inputs):
            np.copyto(d, a)
        copy = min(copy, time.perf_counter() - t0)
        if peer is not None:
            t0 = time.perf_counter()
            peer()
            peer_best = min(peer_best, time.perf_counter() - t0)

    return {"n": n, "reps": reps, "trades": trades, "ns_per_bar": best / n * 1e9,
            "faults_per_call": faults / reps, "copy_ns_per_bar": copy / n * 1e9,
            "ratio": best / copy, "added_bytes_per_bar": added,
            "peer_ratio": None if peer is None else peer_best / best}


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--one":
        print(json.dumps(run_case(sys.argv[2], int(sys.argv[3]))))
        return
    sizes = [int(a) for a in sys.argv[1:]] or SIZES
    print(f"run_single_backtest, one core; load average {os.getloadavg()[0]:.2f} at start")
    for case, label in CASES:
        rows = []
        for n in sizes:
            out = subprocess.run([sys.executable, __file__, "--one", case, str(n)],
                                 capture_output=True, text=True, check=True)
            rows.append(json.loads(out.stdout))
        ref = next((r["ns_per_bar"] for r in rows if r["n"] == 1_000_000), None)
        print(f"\n({case}) {label}")
        print(f"{'bars':>11} {'calls':>5} {'trades':>7} {'ns/bar':>7} {'vs 1M':>6} {'faults':>8} "
              f"{'copy ns/b':>9} {'ratio':>6} {'added B/b':>9} {'vbt x':>6}")
        for r in rows:
            rel = f"{r['ns_per_bar'] / ref:6.2f}" if ref else f"{'-':>6}"
            added = "-" if r["added_bytes_per_bar"] is None else f"{r['added_bytes_per_bar']:.1f}"
            peer = "-" if r["peer_ratio"] is None else f"{r['peer_ratio']:.1f}"
            print(f"{r['n']:>11,} {r['reps']:>5} {r['trades']:>7} {r['ns_per_bar']:7.1f} {rel} "
                  f"{r['faults_per_call']:8.1f} {r['copy_ns_per_bar']:9.2f} {r['ratio']:6.2f} {added:>9} {peer:>6}")
    if not vectorbt_installed():
        print("\nvectorbt is not installed: its comparison is skipped (pip install vectorbt to run it)")
    print(f"\nload average {os.getloadavg()[0]:.2f} at end")


def vectorbt_installed():
    import importlib.util

    return importlib.util.find_spec("vectorbt") is not None


if __name__ == "__main__":
    main()
