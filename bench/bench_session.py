"""Cost of driving a KernelSession from a Python loop.

Cases, each over 1,000,000 bars whose prices are Python floats taken from
lists: (a) no orders, (b) a bracket (market entry, stop and target children in
one OCO group) every 100 bars. Reported: steps per second of the whole loop,
and the cost of one `step` call against an empty Python function taking the
same seven arguments, timed in the same process. Run by hand:
python bench/bench_session.py
"""

import time

import numpy as np

import tidemark as tm

N = 1_000_000


def bar_lists(n=N, seed=11):
    rng = np.random.default_rng(seed)
    close = 1000.0 * np.exp(np.cumsum(rng.normal(0, 0.002, n)))
    open_ = np.concatenate(([close[0]], close[:-1]))
    spread = np.abs(rng.normal(0, 0.001, n)) * close
    high = np.maximum(open_, close) + spread
    low = np.minimum(open_, close) - spread
    volume = rng.uniform(1e3, 1e5, n)
    ts = (np.arange(n, dtype=np.int64) * 60 + 1_700_000_000) * 1_000_000_000
    return [c.tolist() for c in (ts, open_, high, low, close, volume)]


def run_plain(cols):
    ts, o, h, lo, c, v = cols
    s = tm.KernelSession()
    step = s.step
    t0 = time.perf_counter()
    for i in range(len(c)):
        step(i, ts[i], o[i], h[i], lo[i], c[i], v[i])
    dt = time.perf_counter() - t0
    return dt, s.finish()


def run_brackets(cols, every=100):
    ts, o, h, lo, c, v = cols
    s = tm.KernelSession()
    step = s.step
    submit = s.submit_order
    n_events = 0
    t0 = time.perf_counter()
    for i in range(len(c)):
        if i % every == 0 and not s.is_in_position():
            parent = submit("buy", "market", i, ts[i], "e", units=10.0)
            px = c[i]
            stop = submit("sell", "stop_market", i, ts[i], "s", trigger_price=px * 0.99, parent_id=parent)
            take = submit("sell", "limit", i, ts[i], "t", limit_price=px * 1.01, parent_id=parent)
            s.link_oco([stop, take])
        n_events += len(step(i, ts[i], o[i], h[i], lo[i], c[i], v[i]))
    dt = time.perf_counter() - t0
    return dt, s.finish(), n_events


def loop_ns(fn, args):
    """Time per call of fn(*a) over the prepared argument tuples."""
    t0 = time.perf_counter()
    for a in args:
        fn(*a)
    return (time.perf_counter() - t0) / len(args) * 1e9


def main():
    cols = bar_lists()
    ts, o, h, lo, c, v = cols

    dt, res = run_plain(cols)
    print(f"(a) no orders:             {N / dt / 1e6:6.2f} M steps/s  ({dt:.2f} s, "
          f"{len(res.equity_curve()):,} equity samples)")
    dt, res, n_events = run_brackets(cols)
    print(f"(b) bracket every 100 bars: {N / dt / 1e6:5.2f} M steps/s  ({dt:.2f} s, "
          f"{len(res.trades()):,} trades, {n_events:,} events)")

    # One step against an empty Python function taking the same arguments,
    # both called from the same kind of loop over the same prepared tuples.
    m = 200_000
    args = [(i, ts[i], o[i], h[i], lo[i], c[i], v[i]) for i in range(m)]

    def empty(idx, timestamp, open, high, low, close, volume):
        pass

    step_ns = empty_ns = float("inf")
    for _ in range(5):  # alternate the two, keep the best of each
        empty_ns = min(empty_ns, loop_ns(empty, args))
        step_ns = min(step_ns, loop_ns(tm.KernelSession().step, args))
    print(f"one step: {step_ns:6.1f} ns per call; empty Python function with the same arguments: "
          f"{empty_ns:6.1f} ns per call; ratio {step_ns / empty_ns:.2f}")


if __name__ == "__main__":
    main()
