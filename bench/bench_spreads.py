"""A loop of run_spread_backtest calls against one batch_spread_backtest call.

1,000 four-leg spreads (iron condors: a written and a bought call, a written
and a bought put) over 10,000 bars, each with its own signals and loss and
profit limits, itemised NFO option costs. Prints the best of three timings of
each path, the speed-up, and whether every result is identical. Baselines from
the same process: an empty Python call, and a NumPy copy of every input array
(what the serial path copies). Run by hand:  python bench/bench_spreads.py
"""

import hashlib
import os
import time

import numpy as np

import tidemark as tm

ITEMS, BARS, PREMIUM_SETS, REPEATS = 1_000, 10_000, 100, 3
LEGS = [("CE", 22100.0, -1, 50), ("CE", 22300.0, 1, 50), ("PE", 21900.0, -1, 50), ("PE", 21700.0, 1, 50)]


def inputs(seed=11):
    rng = np.random.default_rng(seed)
    ts = (np.arange(BARS, dtype=np.int64) * 60 + 1_700_000_000) * 1_000_000_000
    under = 22000.0 * np.exp(np.cumsum(rng.normal(0, 5e-4, BARS)))
    sets = []
    for _ in range(PREMIUM_SETS):
        base = rng.uniform(40, 160, 4)
        sets.append([np.abs(b + np.cumsum(rng.normal(0, 0.8, BARS))) for b in base])
    cases = []
    for i in range(ITEMS):
        entries = rng.random(BARS) < 0.005
        exits = rng.random(BARS) < 0.005
        cases.append((f"ic{i}", sets[i % PREMIUM_SETS], entries, exits,
                      float(rng.uniform(2_000, 8_000)), float(rng.uniform(2_000, 8_000))))
    return ts, under, cases


def digest(res):
    h = hashlib.sha256()
    for curve in (res.equity_curve(), res.drawdown_curve(), res.returns()):
        h.update(curve.tobytes())
    h.update(repr([(t.id, t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.pnl, t.fees, t.exit_reason,
                    t.fee_breakdown) for t in res.trades()]).encode())
    h.update(repr(res.metrics.to_dict()).encode())
    return h.hexdigest()


def best(fn):
    times, out = [], None
    for _ in range(REPEATS):
        out = None  # each repetition starts from the same free memory
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


def main():
    ts, under, cases = inputs()
    cfg = tm.BacktestConfig(fee_segment="NFO-OPT", initial_capital=500_000.0)

    def empty():
        pass

    n_calls = 100_000
    t0 = time.perf_counter()
    for _ in range(n_calls):
        empty()
    empty_call = (time.perf_counter() - t0) / n_calls

    copy_time, _ = best(lambda: [[p.copy() for p in prem] + [en.copy(), ex.copy(), ts.copy()]
                                 for _, prem, en, ex, _, _ in cases])

    # Like the batch, the serial loop hands back every result; the digests
    # that compare them are taken outside the timings.
    def serial():
        return [tm.run_spread_backtest(ts, under, prem, LEGS, en, ex, config=cfg, spread_type="iron_condor",
                                       max_loss=ml, target_profit=tp)
                for _, prem, en, ex, ml, tp in cases]

    serial_time, results = best(serial)
    serial_digests = [digest(res) for res in results]
    del results

    t0 = time.perf_counter()
    items = [tm.BatchSpreadItem(sid, prem, LEGS, en, ex, spread_type="iron_condor", max_loss=ml, target_profit=tp)
             for sid, prem, en, ex, ml, tp in cases]
    build_items = time.perf_counter() - t0

    batch_time, out = best(lambda: tm.batch_spread_backtest(ts, under, items, config=cfg))
    batch_digests = [digest(res) for _, res in out]
    ids_in_order = [sid for sid, _ in out] == [c[0] for c in cases]
    trades = sum(len(res.trades()) for _, res in out)
    del out

    cores = len(os.sched_getaffinity(0))
    print(f"{ITEMS} four-leg spreads x {BARS} bars, {trades} trades in all; {cores} CPUs visible, "
          f"load average {os.getloadavg()[0]:.2f} / {os.getloadavg()[1]:.2f} / {os.getloadavg()[2]:.2f}")
    print(f"baseline: empty Python call {empty_call * 1e9:.0f} ns; NumPy copy of every input array "
          f"{copy_time * 1e3:.1f} ms")
    print(f"serial run_spread_backtest loop: {serial_time * 1e3:.1f} ms ({serial_time / ITEMS * 1e6:.0f} us per spread)")
    print(f"BatchSpreadItem construction:    {build_items * 1e3:.1f} ms (once, outside the timed batch)")
    print(f"batch_spread_backtest:           {batch_time * 1e3:.1f} ms")
    print(f"speed-up: {serial_time / batch_time:.2f}x")
    print(f"results identical: {serial_digests == batch_digests and ids_in_order}")


if __name__ == "__main__":
    main()
