"""run_portfolio_backtest against the same instruments run one by one, and against vectorbt.

10 and 50 instruments x 100,000 bars of a 0.1 % random walk each, long and
short by turns, entering every 100 bars and exiting 50 bars later (offset per
instrument), 0.1 % fees, fills at the close. Timed in the same process, in
interleaved rounds, best of 7 (or the count given):

- portfolio: one run_portfolio_backtest call, "equal_weight" and "full";
- one by one: run_single_backtest on each instrument in turn, the same
  configuration, the cost of the same kernels without a shared pool;
- vectorbt (when installed): Portfolio.from_signals over the same close,
  signals and directions grouped into one portfolio with cash sharing, then
  its value curve (what the runner returns beside its trades). "full" is
  size=inf (all the cash); "equal_weight" is the nearest sizing vectorbt has,
  a 1/instruments share of the cash still free (our pool / free slots differs
  in rule but not in the work). Its first call, which compiles, is not timed.

Nanoseconds per instrument-bar are given for the portfolio, and the ratios
portfolio / one-by-one and vectorbt / portfolio. Run by hand:
    python bench/bench_portfolio_runner.py [rounds]
"""

import sys
import time

import numpy as np

import tidemark as tm

N = 100_000
FEES = 0.001

try:
    import pandas as pd
    import vectorbt as vbt
except ImportError:  # a peer that is not installed is skipped
    vbt = None


def instruments(count, n=N, seed=7):
    rng = np.random.default_rng(seed)
    ts = (np.arange(n, dtype=np.int64) + 1_700_000_000) * 60 * 10**9
    rows = []
    for k in range(count):
        c = (100.0 + k) * np.exp(np.cumsum(rng.normal(0, 0.001, n)))
        e, x = np.zeros(n, dtype=bool), np.zeros(n, dtype=bool)
        e[k % 50::100] = True
        x[k % 50 + 50::100] = True
        rows.append((ts, c, c * 1.001, c * 0.999, c, np.ones(n), e, x, 1 if k % 2 == 0 else -1, 1.0, f"S{k}"))
    return rows


def vbt_call(rows, allocation):
    # The frames are the caller's inputs, built before the clock starts.
    close = pd.DataFrame({r[10]: r[4] for r in rows})
    entries = pd.DataFrame({r[10]: r[6] for r in rows})
    exits = pd.DataFrame({r[10]: r[7] for r in rows})
    d = vbt.portfolio.enums.Direction
    direction = np.array([[d.LongOnly if r[8] == 1 else d.ShortOnly for r in rows]])
    sizing = dict(size=np.inf) if allocation == "full" else dict(size=1.0 / len(rows), size_type="percent")

    def run():
        pf = vbt.Portfolio.from_signals(close, entries, exits, direction=direction, fees=FEES, init_cash=100000.0,
                                        group_by=True, cash_sharing=True, freq="1min", **sizing)
        return pf.value()
    return run


def best(times):
    return min(times) if times else float("nan")


def main(rounds):
    cfg = tm.BacktestConfig(fees=FEES)
    print(f"best of {rounds} interleaved rounds, one core, {N:,} bars per instrument"
          + ("" if vbt else "; vectorbt not installed: its column is skipped"))
    print(f"{'instruments':>11s} {'allocation':>12s} {'trades':>7s} {'portfolio':>10s} {'ns/inst-bar':>11s} "
          f"{'one by one':>10s} {'ratio':>6s} {'vectorbt':>9s} {'vbt/ours':>8s}")
    for count in (10, 50):
        rows = instruments(count)
        singles = lambda: [tm.run_single_backtest(*r[:8], direction=r[8], symbol=r[10], config=cfg)  # noqa: E731
                           for r in rows]
        for allocation in ("equal_weight", "full"):
            port = lambda: tm.run_portfolio_backtest(rows, cfg, allocation)  # noqa: E731
            calls = {"portfolio": port, "singles": singles}
            if vbt is not None:
                calls["vectorbt"] = vbt_call(rows, allocation)
                calls["vectorbt"]()
            times = {name: [] for name in calls}
            for _ in range(rounds):
                for name, call in calls.items():
                    t0 = time.perf_counter()
                    call()
                    times[name].append(time.perf_counter() - t0)
            p, s, v = best(times["portfolio"]), best(times["singles"]), best(times.get("vectorbt", []))
            trades = len(port().result.trades())
            vtext = f"{v * 1e3:7.1f} ms {v / p:7.1f}x" if vbt else f"{'-':>9s} {'-':>8s}"
            print(f"{count:11d} {allocation:>12s} {trades:7d} {p * 1e3:7.1f} ms {p / (count * N) * 1e9:11.1f} "
                  f"{s * 1e3:7.1f} ms {p / s:5.2f}x {vtext}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 7)
