"""Cost of crossing the Python boundary.

Small calls: nanoseconds per call of a few entry shapes, against a built-in
of CPython as a reference. Array copies: a call with eight 1-D arrays of
1,000,000 elements that stops right after its arguments are copied (an
invalid `direction` is refused only after every array has been copied), in
GB/s. Run by hand:  python bench/bench_binding.py
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

    def call():
        try:
            tm.run_single_backtest(*arrays, direction=2)
        except ValueError:
            pass

    call()
    best = min(timeit.repeat(call, number=20, repeat=5)) / 20
    print(f"eight 1-D arrays of {n:,} elements ({nbytes / 1e6:.0f} MB): "
          f"{best * 1e3:.2f} ms per call, {nbytes / best / 1e9:.1f} GB/s")
    src = np.concatenate([a.view(np.uint8) for a in arrays])
    dst = np.empty_like(src)
    mbest = min(timeit.repeat(lambda: np.copyto(dst, src), number=20, repeat=5)) / 20
    print(f"reference: one memcpy of the same bytes into warm memory: {mbest * 1e3:.2f} ms, "
          f"{nbytes / mbest / 1e9:.1f} GB/s")


if __name__ == "__main__":
    main()
