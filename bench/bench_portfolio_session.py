"""Cost of sealing and driving a PortfolioSession.

Ten instruments with 100,000 one-minute bars each and 100,000 trade rows each
(1,000,000 trade rows in all), so the schedule holds 2,000,000 events. Reported:
the time to attach the arrays and to seal (the k-way merge), against a NumPy
copy of an array as large as the schedule; the events per second of a Python
loop that applies every event, in a cash account and in a margin account at
leverage 2 where every instrument enters and exits every 50 minutes (each
instant valued once, after its tenth bar or trade); the peak resident memory
at each stage; and the
cost of one `apply_current` that produces no engine event (a bar with no
intents, and a drained schedule) against an empty Python function with the
same parameters, timed in the same process. Run by hand:
python bench/bench_portfolio_session.py
"""

import os
import resource
import time

import numpy as np

import tidemark as tm

N_INSTRUMENTS = 10
N_BARS = 100_000
N_TRADES = 100_000  # per instrument


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def make_data(seed=5):
    rng = np.random.default_rng(seed)
    t0 = 1_700_000_000 * 1_000_000_000
    bar_ts = t0 + np.arange(N_BARS, dtype=np.int64) * 60_000_000_000
    # The step first: the product of the index and the span overflows int64.
    trade_ts = t0 + np.arange(N_TRADES, dtype=np.int64) * (60_000_000_000 * N_BARS // N_TRADES)
    data = []
    for _ in range(N_INSTRUMENTS):
        close = 100.0 * np.exp(np.cumsum(rng.normal(0, 0.001, N_BARS)))
        bars = (bar_ts, close, close * 1.001, close * 0.999, close, rng.uniform(1e3, 1e4, N_BARS))
        ltp = 100.0 * np.exp(np.cumsum(rng.normal(0, 0.0003, N_TRADES)))
        ticks = (trade_ts, ltp, rng.uniform(1.0, 50.0, N_TRADES))
        data.append((bars, ticks))
    return data


def build(data, account="cash"):
    s = tm.PortfolioSession(tm.BacktestConfig(fees=0.0), account, 2.0 if account == "margin" else 1.0)
    for i, (bars, (ts, ltp, ltq)) in enumerate(data):
        s.add_instrument(f"S{i}")
        s.set_bars(i, *bars)
        s.set_ticks(i, ts, ltp, ltq=ltq)
    return s


def loop_ns(fn, n, *args):
    t0 = time.perf_counter()
    for _ in range(n):
        fn(*args)
    return (time.perf_counter() - t0) / n * 1e9


def main():
    print(f"load average: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f} "
          f"on {os.cpu_count()} CPUs")
    data = make_data()
    base_mib = peak_mib()

    t0 = time.perf_counter()
    s = build(data)
    attach = time.perf_counter() - t0
    attached_mib = peak_mib()
    t0 = time.perf_counter()
    s.seal()
    seal = time.perf_counter() - t0
    sealed_mib = peak_mib()
    n = len(s)

    apply = s.apply_current
    t0 = time.perf_counter()
    for _ in range(n):
        apply()
    run = time.perf_counter() - t0
    run_mib = peak_mib()
    result = s.finish()
    del s

    # The margin account, trading: entries and exits on the bars of every
    # 25th and 50th minute, a tenth of the free pool each.
    m = build(data, "margin")
    m.seal()
    current, apply = m.current_event, m.apply_current
    start, step = int(data[0][0][0][0]), 60_000_000_000
    t0 = time.perf_counter()
    for _ in range(n):
        kind, _, _, ts, *_ = current()
        minute = (ts - start) // step
        if kind == "bar" and minute % 25 == 0:
            apply(entry=minute % 50 == 0, exit=minute % 50 == 25, size_mult=0.1)
        else:
            apply()
    margin_run = time.perf_counter() - t0
    margin_trades = len(m.finish().result.trades())
    del m

    # Baseline: one copy of an array as large as the schedule (64 bytes an
    # event), into fresh memory as the seal writes it.
    block = np.ones((n, 8))
    t0 = time.perf_counter()
    block.copy()
    copy = time.perf_counter() - t0
    del block
    print(f"attach: {attach:.3f} s; seal of {n:,} events: {seal:.3f} s ({n / seal / 1e6:.1f} M events/s); "
          f"NumPy copy of {n * 64 / 2**20:.0f} MiB: {copy:.3f} s")
    print(f"apply loop: {n / run / 1e6:.2f} M events/s ({run:.2f} s, "
          f"{len(result.result.equity_curve()):,} equity samples)")
    print(f"apply loop, margin account with current_event() and {margin_trades:,} trades: "
          f"{n / margin_run / 1e6:.2f} M events/s ({margin_run:.2f} s)")
    print(f"peak RSS: {base_mib:.0f} MiB with the input arrays, {attached_mib:.0f} MiB attached, "
          f"{sealed_mib:.0f} MiB sealed, {run_mib:.0f} MiB after the loop")

    # One apply that yields no event, against an empty function with the
    # same parameters; both alternate and keep their best.
    def empty(entry=False, exit=False, atr=0.0, size_mult=None, stop_price=None, target_price=None):
        pass

    m = 200_000
    ts = np.arange(m, dtype=np.int64)
    c = np.full(m, 100.0)
    best = {"bar": float("inf"), "bar, two flags": float("inf"), "drained": float("inf"),
            "empty": float("inf"), "empty, two flags": float("inf")}
    for _ in range(5):
        for label, args in (("bar", ()), ("bar, two flags", (False, False))):
            p = tm.PortfolioSession()
            for i in range(N_INSTRUMENTS):
                p.add_instrument(f"S{i}")
            p.set_bars(0, ts, c, c, c, c, c)
            p.seal()
            best[label] = min(best[label], loop_ns(p.apply_current, m, *args))
        best["drained"] = min(best["drained"], loop_ns(p.apply_current, m))
        best["empty"] = min(best["empty"], loop_ns(empty, m))
        best["empty, two flags"] = min(best["empty, two flags"], loop_ns(empty, m, False, False))
    for label, base in (("bar", "empty"), ("bar, two flags", "empty, two flags"), ("drained", "empty")):
        print(f"apply_current ({label}): {best[label]:6.1f} ns per call; empty Python function: "
              f"{best[base]:6.1f} ns; ratio {best[label] / best[base]:.2f}")


if __name__ == "__main__":
    main()
