"""Portfolio analytics timings, each beside NumPy doing comparable work.

Covariance: `estimate_covariance` on 2,520 daily returns of 500 assets, against
`np.cov` of the same matrix (the sample covariance alone, no shrinkage).
`compute_risk_contributions` on 50, 200 and 500 assets against NumPy's closed
form (Sigma w, w'Sigma w, w * Sigma w / sigma) on the model's `cov()`, and on
that matrix fetched once beforehand (the closed form alone).
Panels of 2,520 dates x 3,000 assets: each transform against a NumPy version
of the same rule (or the closest vectorised stand-in, named beside it), and a
plain `copy()` of the panel as the floor every call pays to copy its input.
`rank_ic` on the same panels (horizon 5). A 10-year daily rebalance
simulation over 500 assets under both policies. Best of a few runs, in ms;
each figure and its peer run in turn, so that both see the same load.

BLAS is pinned to one thread (before NumPy loads) so that `np.cov` does the
same single-threaded work as the engine; set OPENBLAS_NUM_THREADS to change it.
Run by hand:  python bench/bench_analytics.py
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import time  # noqa: E402

import numpy as np  # noqa: E402

import tidemark as tm  # noqa: E402


def best_ms(fn, repeat=5):
    return best_of(repeat, fn)[0]


def best_of(repeat, *fns):
    """Best time of each function in ms, the functions run in turn within every repeat."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            best[k] = min(best[k], time.perf_counter() - t0)
    return [b * 1e3 for b in best]


def pair(label, fn, baseline_label, baseline, repeat=5):
    ms, baseline_ms = best_of(repeat, fn, baseline)
    row(label, ms, baseline_label, baseline_ms)


def closed_form_contributions(cov, w):
    g = cov @ w
    sigma = np.sqrt(w @ g)
    marginal = g / sigma
    contribution = w * marginal
    return marginal, contribution, contribution / sigma


def row(label, ms, baseline_label=None, baseline_ms=None):
    text = f"  {label:40s} {ms:8.1f} ms"
    if baseline_label:
        text += f"    | {baseline_label:34s} {baseline_ms:8.1f} ms"
    print(text)


def numpy_rank(p):
    # argsort of argsort: ranks without tie averaging, scaled to [0, 1]
    return np.argsort(np.argsort(p, axis=1), axis=1) / (p.shape[1] - 1.0)


def numpy_winsorize(p, pct):
    s = np.sort(p, axis=1)
    k = int(pct * p.shape[1])
    return np.clip(p, s[:, k:k + 1], s[:, -k - 1:-k])


def main():
    rng = np.random.default_rng(0)
    print("estimate_covariance, 2,520 x 500")
    x = rng.normal(0, 0.01, (2520, 500)) + rng.normal(0, 0.01, (2520, 1))
    ids = [f"A{i}" for i in range(500)]
    pair("estimate_covariance", lambda: tm.estimate_covariance(x, ids, 252.0),
         "np.cov(x.T, bias=True)", lambda: np.cov(x.T, bias=True))

    print("compute_risk_contributions (us), best of 300; NumPy closed form on cov() | on a fetched cov")
    rc_rng = np.random.default_rng(1)
    for n in (50, 200, 500):
        returns = rc_rng.normal(0, 0.01, (3 * n, n)) + rc_rng.normal(0, 0.01, (3 * n, 1))
        names = [f"A{i}" for i in range(n)]
        model = tm.estimate_covariance(returns, names, 252.0)
        w = rc_rng.random(n)
        w /= w.sum()
        cov = model.cov()
        ours, on_cov, on_fetched = best_of(
            300, lambda: tm.compute_risk_contributions(model, w, names),
            lambda: closed_form_contributions(model.cov(), w), lambda: closed_form_contributions(cov, w))
        print(f"  {n:4d} assets {ours * 1e3:8.1f} us    | closed form {on_cov * 1e3:8.1f} us ({ours / on_cov:.2f}x)"
              f"  fetched cov {on_fetched * 1e3:8.1f} us ({ours / on_fetched:.2f}x)")

    print("panels, 2,520 dates x 3,000 assets")
    p = rng.normal(0, 1, (2520, 3000))
    prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, (2520, 3000)), axis=0))
    floor = best_ms(lambda: p.copy())
    row("(floor) copy of one panel", floor)
    pair("winsorize_panel(pct=0.05)", lambda: tm.winsorize_panel(p, 0.05),
         "np.sort + np.clip", lambda: numpy_winsorize(p, 0.05), 3)
    pair("zscore_panel(min_names=10)", lambda: tm.zscore_panel(p, 10),
         "nanmean / nanstd", lambda: (p - np.nanmean(p, 1, keepdims=True)) / np.nanstd(p, 1, keepdims=True))
    pair("rank_panel(min_names=10)", lambda: tm.rank_panel(p, 10),
         "argsort of argsort (no ties)", lambda: numpy_rank(p), 3)
    pair("momentum_panel(252, 21)", lambda: tm.momentum_panel(prices, 252, 21),
         "slice ratio", lambda: prices[231:-21] / prices[:-252] - 1.0)
    q = rng.normal(0, 1, (2520, 3000))
    wts = np.array([0.6, 0.4])
    pair("composite_scores(2 factors)", lambda: tm.composite_scores([p, q], wts),
         "0.6 p + 0.4 q", lambda: 0.6 * p + 0.4 * q)
    row("rank_ic(horizon=5, min_names=10)", best_ms(lambda: tm.rank_ic(p, prices, 5, 10), 3))

    print("simulate_rebalance_policy, 2,520 dates x 500 assets")
    px = prices[:, :500]
    raw = rng.random((2520, 500))
    targets = raw / raw.sum(axis=1, keepdims=True) * 0.98
    row("calendar, every 21 dates", best_ms(lambda: tm.simulate_rebalance_policy(px, targets, 1e7, "calendar", 21)))
    pair("band 0.05", lambda: tm.simulate_rebalance_policy(px, targets, 1e7, "band", 0.05),
         "(floor) copy of both panels", lambda: (px.copy(), targets.copy()))
    calls = 20_000
    sched = best_ms(lambda: [tm.indian_cost_schedule("options_nfo") for _ in range(calls)], 3) / calls * 1e6
    empty = best_ms(lambda: [(lambda: None)() for _ in range(calls)], 3) / calls * 1e6
    print(f"  {'indian_cost_schedule (ns per call)':40s} {sched:8.0f} ns    | "
          f"{'empty Python call':34s} {empty:8.0f} ns")


if __name__ == "__main__":
    main()
