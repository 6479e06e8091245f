"""Cost of crossing the Python boundary.

Small calls: nanoseconds per call of a few entry shapes, against a built-in
of CPython as a reference. Arrays: a call with eight 1-D arrays of 1,000,000
elements that stops right after its arguments are read (an invalid
`direction` is refused only after every array has been read): contiguous
arrays are read where they lie, so this is the cost of checking them; the
same values as strided views are copied, in GB/s, against one NumPy copy of
the same bytes. Refusals: calls refused for the length of a zero-stride view
of 2**26, 2**35 and 2**40 elements (one element in memory), against the same
call refused for an ordinary array of 37 elements and against an empty
Python function that raises at once: the single, portfolio and
basket runners refuse from the lengths alone; the options runner is lent a
blank of the view's length and asked afterwards whether it read it. Run by
hand:  python bench/bench_binding.py
"""

import math
import timeit

import numpy as np

import tidemark as tm


def per_call_ns(stmt, setup_globals, number=2_000_000):
    best = min(timeit.repeat(stmt, globals=setup_globals, number=number, repeat=5))
    empty = min(timeit.repeat("pass", number=number, repeat=5))
    return (best - empty) / number * 1e9


def main():
    cfg = tm.BacktestConfig()
    ic = tm.InstrumentConfig()
    g = {"tm": tm, "cfg": cfg, "ic": ic, "math": math}
    cases = [
        ("math.copysign(1.0, 2.0)   (CPython built-in)", "math.copysign(1.0, 2.0)"),
        ("resolve_atr_period()", "tm.resolve_atr_period()"),
        ("resolve_atr_period(cfg, ic)", "tm.resolve_atr_period(cfg, ic)"),
        ("resolve_atr_period(config=cfg)", "tm.resolve_atr_period(config=cfg)"),
        ("cfg.set_atr_stop(2.0, 14)", "cfg.set_atr_stop(2.0, 14)"),
        ("cfg.fees (getter)", "cfg.fees"),
        ("cfg.fees = 0.001 (setter)", "cfg.fees = 0.001"),
        ("BacktestConfig()", "tm.BacktestConfig()"),
    ]
    print("small calls (ns per call, loop overhead removed)")
    for label, stmt in cases:
        print(f"  {label:45s} {per_call_ns(stmt, g):7.1f} ns")

    n = 1_000_000
    ts = np.arange(n, dtype=np.int64)
    f = np.random.default_rng(1).random(n)
    b = np.zeros(n, dtype=bool)
    arrays = (ts, f, f.copy(), f.copy(), f.copy(), f.copy(), b, b.copy())
    nbytes = sum(a.nbytes for a in arrays)

    # The same values, every other element of arrays twice as long.
    strided = tuple(np.repeat(a, 2)[::2] for a in arrays)

    def call(args):
        try:
            tm.run_single_backtest(*args, direction=2)
        except ValueError:
            pass

    src = np.concatenate([a.view(np.uint8) for a in arrays])
    dst = np.empty_like(src)
    best = {"in place": float("inf"), "strided": float("inf"), "memcpy": float("inf")}
    for _ in range(5):  # interleaved, best of each
        best["in place"] = min(best["in place"], min(timeit.repeat(lambda: call(arrays), number=20, repeat=1)) / 20)
        best["strided"] = min(best["strided"], min(timeit.repeat(lambda: call(strided), number=20, repeat=1)) / 20)
        best["memcpy"] = min(best["memcpy"], min(timeit.repeat(lambda: np.copyto(dst, src), number=20, repeat=1)) / 20)
    print(f"eight 1-D arrays of {n:,} elements ({nbytes / 1e6:.0f} MB):")
    print(f"  contiguous, read in place: {best['in place'] * 1e6:9.1f} us per call")
    print(f"  strided views, copied:     {best['strided'] * 1e3:9.2f} ms per call, "
          f"{nbytes / best['strided'] / 1e9:.1f} GB/s")
    print(f"  reference, one NumPy copy of the same bytes into warm memory: {best['memcpy'] * 1e3:.2f} ms, "
          f"{nbytes / best['memcpy'] / 1e9:.1f} GB/s")


    refusals()


def refusals(rounds=7, number=50):
    n = 10
    t, f, b = np.arange(n, dtype=np.int64), np.linspace(100.0, 109.0, n), np.arange(n) % 4 == 1
    row = (t, f, f, f, f, f, b, b, 1, 1.0, "A")
    def empty(instruments):  # the reference: a Python function that refuses at once
        raise ValueError("refused")

    calls = {
        "an empty function refusing the same row": (float, lambda a: empty([row[:4] + (a,) + row[5:]])),
        "run_single_backtest, entries": (bool, lambda a: tm.run_single_backtest(t, f, f, f, f, f, a, b)),
        "run_portfolio_backtest, one row, close": (
            float, lambda a: tm.run_portfolio_backtest([row[:4] + (a,) + row[5:]])),
        "run_basket_backtest, one row, close": (float, lambda a: tm.run_basket_backtest([row[:4] + (a,) + row[5:]])),
        "run_options_backtest, premiums (blank)": (
            float, lambda a: tm.run_options_backtest(t, f, f, f, f, f, a, b, b)),
    }

    def refused(call, a):
        try:
            call(a)
        except BaseException:  # the length error (ValueError or PanicException)
            return
        raise AssertionError("not refused")

    print(f"calls refused for a view's length (us per call, best of {rounds} interleaved rounds of {number}):")
    print(f"  {'':42s} {'37 elements':>12s} {'2**26':>10s} {'2**35':>10s} {'2**40':>10s}")
    for label, (dtype, call) in calls.items():
        one = np.ones(1, dtype)
        arrays = [np.ones(37, dtype)] + [
            np.lib.stride_tricks.as_strided(one, shape=(2**e,), strides=(0,)) for e in (26, 35, 40)]
        best = [float("inf")] * len(arrays)
        for _ in range(rounds):
            for i, a in enumerate(arrays):
                best[i] = min(best[i], timeit.timeit(lambda: refused(call, a), number=number) / number)
        print(f"  {label:42s} " + " ".join(f"{x * 1e6:{12 if i == 0 else 10}.1f}" for i, x in enumerate(best)))


if __name__ == "__main__":
    main()
