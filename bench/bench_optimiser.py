"""The book optimiser, its parallel batch, and the Monte Carlo simulation.

1. optimize_portfolio on 50, 200 and 500 assets in 10 sectors, long-only and
   long/short: the median call time. The books are built from hash-generated
   returns exactly as bench_optimiser.cpp builds them; when that program is
   built (build/bench/bench_optimiser, -DTIDEMARK_BUILD_BENCH=ON) it is run too
   and the table adds its solver time, so that "outside" is everything but
   Clarabel: validation, the matrices, snapping, checks and the conversions.
2. optimize_portfolio against a direct Clarabel solve of the same programme
   from Python (Clarabel's own wheel, `pip install clarabel scipy`; skipped
   with a note when either is missing), best of interleaved repeats: the
   wheel with its default settings (its "auto" linear solver picks faer's
   multi-threaded supernodal LDL for the dense covariance block) and with
   "qdldl". Our crate factors books below 400 assets with QDLDL and larger ones
   with faer on one thread. Only the wheel's solver set-up and solve are timed,
   against our whole call.
3. batch_optimize_portfolios on 200 books of 200 assets against a loop of
   optimize_portfolio calls, with the results compared.
4. simulate_portfolio_mc with 10 assets, 100,000 paths and 252 days on every
   core and, in a child process pinned to one CPU (so the worker pool has one
   thread), on one; beside it the same model simulated with vectorised NumPy
   (one step at a time over all paths: normals, the Cholesky product, the
   exponential growth, the weighted return), also pinned to one CPU with BLAS
   on one thread.

Baselines from the same process: an empty Python call and a NumPy copy.
Run by hand:  python bench/bench_optimiser.py
"""

import os
import subprocess
import sys
import time

import numpy as np

import tidemark as tm

MASK = (1 << 64) - 1
HERE = os.path.dirname(os.path.abspath(__file__))


def uniform(key):
    """SplitMix64 of a key as a uniform on [0, 1), as bench_optimiser.cpp has it."""
    z = (key + 0x9E3779B97F4A7C15) & MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    z ^= z >> 31
    return (z >> 11) * 2.0 ** -53


def make_model(n):
    t_obs = n + n // 2
    rows = []
    for t in range(t_obs):
        f = 2.0 * uniform(t) - 1.0
        rows.append([0.01 * ((0.5 + (i % 10) * 0.1) * f + (2.0 * uniform(1_000_000 + t * n + i) - 1.0))
                     for i in range(n)])
    ids = [f"A{i}" for i in range(n)]
    return tm.estimate_covariance(np.array(rows), ids, 252.0), ids


def make_alpha(n, base=2_000_000):
    return np.array([0.0005 * (2.0 * uniform(base + i) - 1.0) for i in range(n)])


def make_config(n, long_short):
    kw = dict(cash_max=0.02)
    caps = [0.25] * 10
    if long_short:
        kw.update(short_cap=0.05, gross_max=1.6, net_min=-0.1, net_max=0.1)
        caps = [0.3] * 10
    return tm.OptimizerConfig(5.0, 0.0005, max(0.05, 2.0 / n), [i % 10 for i in range(n)], caps, **kw)


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return sorted(times)[len(times) // 2]


def solver_times():
    """{(assets, mode): (iterations, solver ms, engine ms outside the solver)} from the C++ program, if built."""
    exe = os.path.join(HERE, "..", "build", "bench", "bench_optimiser")
    if not os.access(exe, os.X_OK):
        return {}
    out = subprocess.run([exe], capture_output=True, text=True, check=True).stdout.splitlines()[1:]
    table = {}
    for line in out:
        parts = line.split()
        table[(int(parts[0]), parts[1])] = (int(parts[2]), float(parts[4]), float(parts[5]))
    return table


def bench_single():
    print("optimize_portfolio, median of 7 calls. boundary: a call refused at the asset-id check, i.e. the")
    print("argument conversions and copies; solver and engine (validation, matrices, snapping, checks, result)")
    print("from bench_optimiser.cpp on the same books; outside = engine + boundary, as a share of the solve.")
    cpp = solver_times()
    print(f"{'assets':>6} {'mode':<10} {'iters':>5} {'call ms':>9} {'boundary ms':>12} {'engine ms':>10} "
          f"{'solver ms':>10} {'outside':>8}")
    for n in (50, 200, 500):
        model, ids = make_model(n)
        alpha, held = make_alpha(n), np.full(n, 1.0 / n)
        wrong_ids = ids[:-1] + ["?"]
        for ls in (False, True):
            cfg = make_config(n, ls)
            res = tm.optimize_portfolio(model, alpha, held, ids, cfg)
            call = median_time(lambda: tm.optimize_portfolio(model, alpha, held, ids, cfg), 7) * 1e3

            def refused():
                try:
                    tm.optimize_portfolio(model, alpha, held, wrong_ids, cfg)
                except ValueError:
                    pass

            boundary = median_time(refused, 51) * 1e3
            mode = "long/short" if ls else "long-only"
            line = f"{n:>6} {mode:<10} {res.iterations:>5} {call:>9.3f} {boundary:>12.4f}"
            if (n, mode) in cpp:
                iters, solver, engine = cpp[(n, mode)]
                assert iters == res.iterations, (iters, res.iterations)
                outside = engine + boundary
                line += f" {engine:>10.4f} {solver:>10.3f} {100 * outside / (solver + outside):>7.2f}%"
            else:
                line += "   (build bench_optimiser for the solver's share)"
            print(line)


def book_programme(model, alpha, held, cfg):
    """The programme optimize_portfolio hands the solver, entry for entry: x = [w, t] (long-only) or
    [w, t, a] (long/short), every constraint a row of Ax <= b, P the upper triangle of
    2 risk_aversion cov with exact zeros left out."""
    import scipy.sparse as sp

    n, sectors = len(alpha), len(cfg.sector_caps)
    ls = cfg.short_cap > 0
    nv = 3 * n if ls else 2 * n
    r_floor, r_cap = 2, 2 + n
    r_sector = r_cap + n
    r_up = r_sector + sectors
    r_down = r_up + n
    r_abs_up, r_abs_down = r_down + n, r_down + 2 * n
    r_gross = r_abs_down + n
    rows = r_gross + 1 if ls else r_abs_up
    upper = sp.triu(sp.csc_matrix(2.0 * cfg.risk_aversion * model.cov()), format="csc")
    P = sp.block_diag([upper, sp.csc_matrix((nv - n, nv - n))], format="csc")
    q = np.zeros(nv)
    q[:n], q[n:2 * n] = -alpha, cfg.turnover_penalty
    b = np.zeros(rows)
    b[0], b[1] = (cfg.net_max, -cfg.net_min) if ls else (1.0, cfg.cash_max - 1.0)
    b[r_floor:r_cap], b[r_cap:r_sector] = cfg.short_cap, cfg.position_cap
    b[r_sector:r_up], b[r_up:r_down], b[r_down:r_abs_up] = cfg.sector_caps, held, -held
    if ls:
        b[r_gross] = cfg.gross_max
    i, sector = np.arange(n), np.asarray(cfg.sector_ids)
    entries = [(0, i, 1.0), (1, i, -1.0), (r_floor + i, i, -1.0), (r_cap + i, i, 1.0), (r_up + i, i, 1.0),
               (r_down + i, i, -1.0), (r_up + i, n + i, -1.0), (r_down + i, n + i, -1.0)]
    if ls:
        entries += [(r_abs_up + i, i, 1.0), (r_abs_down + i, i, -1.0), (r_sector + sector, 2 * n + i, 1.0),
                    (r_abs_up + i, 2 * n + i, -1.0), (r_abs_down + i, 2 * n + i, -1.0), (r_gross, 2 * n + i, 1.0)]
    else:
        entries.append((r_sector + sector, i, 1.0))
    r, c, v = (np.concatenate([np.broadcast_to(e[k], i.shape) for e in entries]) for k in range(3))
    A = sp.csc_matrix((v, (r, c)), shape=(rows, nv))
    return P, q, A, b, rows


def bench_clarabel():
    try:
        import clarabel
        import scipy  # noqa: F401
    except ImportError:
        print("\noptimize_portfolio against Clarabel's Python wheel: skipped (pip install clarabel scipy)")
        return
    print(f"\noptimize_portfolio against a direct solve with Clarabel {clarabel.__version__}'s Python wheel, best of "
          "interleaved repeats (ms);")
    print("ratio = our call / the wheel's set-up and solve; |dw| = largest weight difference to ours")
    print(f"{'assets':>6} {'mode':<10} {'iters':>5} {'ours':>8} {'wheel':>8} {'ratio':>6} {'|dw|':>8}  "
          f"{'qdldl':>8} {'ratio':>6} {'|dw|':>8}")
    for n in (50, 200, 500):
        model, ids = make_model(n)
        alpha, held = make_alpha(n), np.full(n, 1.0 / n)
        for ls in (False, True):
            cfg = make_config(n, ls)
            P, q, A, b, rows = book_programme(model, alpha, held, cfg)

            def direct(method):
                settings = clarabel.DefaultSettings()
                settings.verbose = False
                settings.direct_solve_method = method
                return lambda: clarabel.DefaultSolver(P, q, A, b, [clarabel.NonnegativeConeT(rows)], settings).solve()

            runs = {"ours": lambda: tm.optimize_portfolio(model, alpha, held, ids, cfg),
                    "auto": direct("auto"), "qdldl": direct("qdldl")}
            best, out = {k: float("inf") for k in runs}, {}
            for _ in range(5 if n == 500 else 9):
                for k, fn in runs.items():
                    t0 = time.perf_counter()
                    out[k] = fn()
                    best[k] = min(best[k], time.perf_counter() - t0)
            w = out["ours"].weights()
            line = f"{n:>6} {'long/short' if ls else 'long-only':<10} {out['ours'].iterations:>5} " \
                   f"{best['ours'] * 1e3:>8.2f}"
            for k in ("auto", "qdldl"):
                assert out[k].iterations == out["ours"].iterations and str(out[k].status) == "Solved"
                dw = np.abs(np.asarray(out[k].x)[:n] - w).max()
                line += f" {best[k] * 1e3:>8.2f} {best['ours'] / best[k]:>6.2f} {dw:>8.1e} "
            print(line)


def bench_batch():
    n, books = 200, 200
    model, ids = make_model(n)
    cfg = make_config(n, False)
    specs = []
    for b in range(books):
        held = np.array([uniform(5_000_000 + b * n + i) for i in range(n)])
        specs.append((f"user{b}", make_alpha(n, 3_000_000 + b * n), held / held.sum()))
    items = [tm.OptimizeItem(u, a, w) for u, a, w in specs]

    def serial():
        return [tm.optimize_portfolio(model, a, w, ids, cfg) for _, a, w in specs]

    def batch():
        return tm.batch_optimize_portfolios(model, items, cfg)

    serial_time = median_time(serial, 1)
    batch_time = median_time(batch, 3)
    same = all(np.array_equal(r.weights(), b.weights()) and r.objective == b.objective
               for r, (_, b) in zip(serial(), batch()))
    cores = len(os.sched_getaffinity(0))
    print(f"\nbatch of {books} books x {n} assets: serial loop {serial_time * 1e3:.0f} ms, "
          f"batch_optimize_portfolios {batch_time * 1e3:.0f} ms, speed-up {serial_time / batch_time:.2f}x "
          f"on {cores} CPUs ({serial_time / batch_time / cores:.2f} x cores); results identical: {same}")


MC_ASSETS, MC_PATHS, MC_DAYS = 10, 100_000, 252


def mc_inputs():
    rng = np.random.default_rng(5)
    returns = [rng.normal(0.0004, 0.01 + 0.001 * i, 750) for i in range(MC_ASSETS)]
    corr = np.full((MC_ASSETS, MC_ASSETS), 0.3)
    np.fill_diagonal(corr, 1.0)
    return returns, np.full(MC_ASSETS, 1.0 / MC_ASSETS), corr


def numpy_mc(returns, weights, corr, initial, n, horizon, seed):
    """The same model, vectorised over paths one step at a time."""
    mu = np.array([r.mean() for r in returns])
    sigma = np.maximum(np.array([r.std() for r in returns]), 1e-10)
    drift = mu - 0.5 * sigma * sigma
    chol_t = np.linalg.cholesky(corr).T
    rng = np.random.default_rng(seed)
    v = np.full(n, initial)
    for _ in range(horizon):
        shocks = rng.standard_normal((n, len(weights))) @ chol_t
        v *= 1.0 + (np.exp(drift + shocks * sigma) - 1.0) @ weights
    finals = np.sort(v)
    k5 = min(n - 1, int(np.floor((n - 1) * 0.05 + 0.5)))
    return {"expected_return": (finals.mean() / initial - 1) * 100,
            "var_95": max(0.0, (initial - finals[k5]) / initial * 100),
            "cvar_95": max(0.0, (initial - finals[:k5 + 1].mean()) / initial * 100)}


def mc_timings():
    returns, weights, corr = mc_inputs()
    ours = median_time(lambda: tm.simulate_portfolio_mc(returns, weights, corr, 1e6, MC_PATHS, MC_DAYS, 42), 3)
    numpy = median_time(lambda: numpy_mc(returns, weights, corr, 1e6, MC_PATHS, MC_DAYS, 42), 1)
    return ours, numpy


def bench_mc():
    ours_all, numpy_all = mc_timings()
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    child = subprocess.run([sys.executable, __file__, "--mc-child"], capture_output=True, text=True, check=True,
                           env=env, preexec_fn=lambda: os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}))
    ours_one, numpy_one = map(float, child.stdout.split())
    cores = len(os.sched_getaffinity(0))
    print(f"\nsimulate_portfolio_mc, {MC_ASSETS} assets x {MC_PATHS} paths x {MC_DAYS} days:")
    print(f"  one CPU:     {ours_one:.3f} s   (NumPy vectorised, one CPU: {numpy_one:.3f} s; "
          f"ours {numpy_one / ours_one:.2f}x as fast)")
    print(f"  {cores} CPUs:      {ours_all:.3f} s   (NumPy vectorised, default threads: {numpy_all:.3f} s)")
    print(f"  speed-up {ours_one / ours_all:.2f}x on {cores} CPUs ({ours_one / ours_all / cores:.2f} x cores)")


def main():
    if sys.argv[1:] == ["--mc-child"]:
        print(*mc_timings())
        return

    def empty():
        pass

    t0 = time.perf_counter()
    for _ in range(100_000):
        empty()
    empty_call = (time.perf_counter() - t0) / 100_000
    big = np.zeros(500 * 500)
    copy = median_time(big.copy, 20)
    load = os.getloadavg()
    print(f"{len(os.sched_getaffinity(0))} CPUs visible, load average {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f}")
    print(f"baseline: empty Python call {empty_call * 1e9:.0f} ns; NumPy copy of a 500 x 500 covariance "
          f"{copy * 1e3:.3f} ms\n")
    bench_single()
    bench_clarabel()
    bench_batch()
    bench_mc()


if __name__ == "__main__":
    main()
