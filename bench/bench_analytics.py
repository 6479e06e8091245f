"""Portfolio analytics timings, each beside NumPy doing comparable work.

Covariance: `estimate_covariance` on 2,520 daily returns of 500 assets, against
`np.cov` of the same matrix (the sample covariance alone, no shrinkage).
Panels of 2,520 dates x 3,000 assets: each transform against a NumPy version
of the same rule (or the closest vectorised stand-in, named beside it), and a
plain `copy()` of the panel as the floor every call pays to copy its input.
`rank_ic` on the same panels (horizon 5). A 10-year daily rebalance
simulation over 500 assets under both policies. Best of a few runs, in ms.

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
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best * 1e3


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
    row("estimate_covariance", best_ms(lambda: tm.estimate_covariance(x, ids, 252.0)),
        "np.cov(x.T, bias=True)", best_ms(lambda: np.cov(x.T, bias=True)))
    model = tm.estimate_covariance(x, ids, 252.0)
    w = np.full(500, 1 / 500)
    row("compute_risk_contributions", best_ms(lambda: tm.compute_risk_contributions(model, w, ids)),
        "w @ cov @ w (cov copied out)", best_ms(lambda: w @ model.cov() @ w))

    print("panels, 2,520 dates x 3,000 assets")
    p = rng.normal(0, 1, (2520, 3000))
    prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, (2520, 3000)), axis=0))
    floor = best_ms(lambda: p.copy())
    row("(floor) copy of one panel", floor)
    row("winsorize_panel(pct=0.05)", best_ms(lambda: tm.winsorize_panel(p, 0.05)),
        "np.sort + np.clip", best_ms(lambda: numpy_winsorize(p, 0.05), 2))
    row("zscore_panel(min_names=10)", best_ms(lambda: tm.zscore_panel(p, 10)),
        "nanmean / nanstd", best_ms(lambda: (p - np.nanmean(p, 1, keepdims=True)) / np.nanstd(p, 1, keepdims=True)))
    row("rank_panel(min_names=10)", best_ms(lambda: tm.rank_panel(p, 10)),
        "argsort of argsort (no ties)", best_ms(lambda: numpy_rank(p), 2))
    row("momentum_panel(252, 21)", best_ms(lambda: tm.momentum_panel(prices, 252, 21)),
        "slice ratio", best_ms(lambda: prices[231:-21] / prices[:-252] - 1.0))
    q = rng.normal(0, 1, (2520, 3000))
    wts = np.array([0.6, 0.4])
    row("composite_scores(2 factors)", best_ms(lambda: tm.composite_scores([p, q], wts)),
        "0.6 p + 0.4 q", best_ms(lambda: 0.6 * p + 0.4 * q))
    row("rank_ic(horizon=5, min_names=10)", best_ms(lambda: tm.rank_ic(p, prices, 5, 10), 3))

    print("simulate_rebalance_policy, 2,520 dates x 500 assets")
    px = prices[:, :500]
    raw = rng.random((2520, 500))
    targets = raw / raw.sum(axis=1, keepdims=True) * 0.98
    row("calendar, every 21 dates", best_ms(lambda: tm.simulate_rebalance_policy(px, targets, 1e7, "calendar", 21)))
    row("band 0.05", best_ms(lambda: tm.simulate_rebalance_policy(px, targets, 1e7, "band", 0.05)),
        "(floor) copy of both panels", best_ms(lambda: (px.copy(), targets.copy())))
    calls = 20_000
    sched = best_ms(lambda: [tm.indian_cost_schedule("options_nfo") for _ in range(calls)], 3) / calls * 1e6
    empty = best_ms(lambda: [(lambda: None)() for _ in range(calls)], 3) / calls * 1e6
    print(f"  {'indian_cost_schedule (ns per call)':40s} {sched:8.0f} ns    | "
          f"{'empty Python call':34s} {empty:8.0f} ns")


if __name__ == "__main__":
    main()
